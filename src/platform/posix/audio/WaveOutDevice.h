#pragma once

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/WaveOutBackend.h"

#include <memory>

// A wave-out device of one backend (the virtual output, ALSA's outputs).
// The wave-out operations do the Windows part (handles, headers) and ask the
// device only for its name, its formats and a backend that plays.
class WaveOutDevice {
public:
    virtual ~WaveOutDevice() = default;
    // The product name, at most MAXPNAMELEN - 1 bytes.
    virtual const char* Name() const = 0;
    // MMSYSERR_NOERROR when the device plays `format` (the whole record:
    // 18 bytes plus its cbSize extra bytes), else WAVERR_BADFORMAT.
    virtual MMRESULT CheckFormat(const WAVEFORMATEX& format) const = 0;
    // Opens a backend for a format that CheckFormat accepted.
    virtual MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutBackend>* backend) = 0;
};
