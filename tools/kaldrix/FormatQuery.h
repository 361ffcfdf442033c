// SPDX-License-Identifier: MIT
// Asks a wave-out device whether it plays a file's format, the way the
// library opens it, without opening it (waveOutOpen with WAVE_FORMAT_QUERY):
// through winmm on Windows and through the library's Windows-call emulation,
// linked into kaldrix, on Linux.
#pragma once

#include "WaveInspection.h"

namespace cli {

// True only when the device answers that it does not take the format
// (WAVERR_BADFORMAT); false when it takes it or cannot be asked.
bool DeviceRefusesFormat(unsigned deviceId, const WaveFile& wave);

} // namespace cli
