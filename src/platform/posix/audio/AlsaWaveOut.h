#pragma once

#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/WaveOutDevice.h"

// A wave-out device on one ALSA PCM. It takes the formats the layer plays
// (PlayableFormat.h) that ALSA has a sample format for, and opens the PCM for
// exactly that format: whatever the PCM does not take as it is fails with
// WAVERR_BADFORMAT, nothing is converted here.
class AlsaWaveOut : public WaveOutDevice {
public:
    explicit AlsaWaveOut(AlsaPcm::DeviceName name) : m_name(std::move(name)) {}

    const char* Name() const override { return m_name.display.c_str(); }
    MMRESULT CheckFormat(const WAVEFORMATEX& format) const override;
    MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutBackend>* backend) override;

private:
    const AlsaPcm::DeviceName m_name;
};
