#pragma once

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/WaveInBackend.h"

#include <memory>

// A wave-in device of one backend (the virtual input, ALSA's inputs).
// The wave-in operations do the Windows part (handles, headers, messages) and
// ask the device only for its name, its formats and a backend that records.
class WaveInDevice {
public:
    virtual ~WaveInDevice() = default;
    // The product name, at most MAXPNAMELEN - 1 bytes.
    virtual const char* Name() const = 0;
    virtual WORD Channels() const = 0;
    // MMSYSERR_NOERROR when the device records `format`, else
    // WAVERR_BADFORMAT.
    virtual MMRESULT CheckFormat(const WAVEFORMATEX& format) const = 0;
    // Opens a backend for a format that CheckFormat accepted.
    virtual MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInBackend>* backend) = 0;
};
