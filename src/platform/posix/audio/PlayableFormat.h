#pragma once

#include "platform/posix/WindowsApi.h"

// MMSYSERR_NOERROR for a format that a wave-out device of this layer plays:
// PCM of 8, 16, 24 or 32 bits, 32-bit IEEE float, or WAVE_FORMAT_EXTENSIBLE
// with one of those as its sub-format; 1 to 8 channels; 1000 to 192000
// samples per second; a byte rate and a block alignment that are not 0 (the
// device is paced by the one and cuts at the other). Anything else:
// WAVERR_BADFORMAT. `format` is the whole record with its cbSize extra bytes.
MMRESULT CheckPlayableFormat(const WAVEFORMATEX& format);
