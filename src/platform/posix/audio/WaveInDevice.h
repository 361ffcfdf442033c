#pragma once

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/WaveInCapture.h"

#include <memory>

// A wave-in device of one backend (the virtual input, ALSA's inputs).
// The wave-in operations do the Windows part (handles, headers, messages) and
// ask the device only for its name, its formats and its captured bytes.
class WaveInDevice {
public:
    virtual ~WaveInDevice() = default;
    virtual const char* Name() const = 0;
    virtual WORD Channels() const = 0;
    virtual bool Supports(const WAVEFORMATEX& format) const = 0;
    // Opens a capture in `format`, which Supports has accepted: a wave-in
    // result, MMSYSERR_NOERROR with *capture set.
    virtual MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInCapture>* capture) = 0;
};
