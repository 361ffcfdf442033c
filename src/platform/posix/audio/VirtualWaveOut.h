#pragma once

#include "platform/posix/audio/WaveOutDevice.h"

// "KALDRIX VIRTUAL OUT": a wave-out device without sound hardware. It plays
// on the real clock at the open format's byte rate, counting from the moment
// it started playing so that it does not drift; when KALDRIX_VIRTUAL_OUT names
// a file at waveOutOpen, every byte it plays is appended to that file as it
// is played (header data only, raw, nothing added).
class VirtualWaveOut : public WaveOutDevice {
public:
    const char* Name() const override { return "KALDRIX VIRTUAL OUT"; }
    MMRESULT CheckFormat(const WAVEFORMATEX& format) const override;
    MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutBackend>* backend) override;
};
