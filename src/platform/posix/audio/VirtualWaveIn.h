#pragma once

#include "platform/posix/audio/WaveInDevice.h"

// "KALDRIX VIRTUAL IN": an input on the real clock that records either the
// raw bytes of the file that KALDRIX_VIRTUAL_IN names (read again at each
// open) or, without it, a 440 Hz tone.
class VirtualWaveIn : public WaveInDevice {
public:
    const char* Name() const override { return "KALDRIX VIRTUAL IN"; }
    WORD Channels() const override { return 2; }
    MMRESULT CheckFormat(const WAVEFORMATEX& format) const override;
    MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInBackend>* backend) override;
};
