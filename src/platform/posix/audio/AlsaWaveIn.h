#pragma once

#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/WaveInDevice.h"

#include <string>

// A wave-in device on one ALSA PCM: plain PCM, float and extensible formats
// that ALSA has a sample format for, with consistent derived fields; the PCM
// itself decides at the open whether it records the format as it is.
class AlsaWaveIn : public WaveInDevice {
public:
    explicit AlsaWaveIn(AlsaPcm::DeviceName name) : m_name(std::move(name)) {}

    const char* Name() const override { return m_name.display.c_str(); }
    WORD Channels() const override { return 2; }
    MMRESULT CheckFormat(const WAVEFORMATEX& format) const override;
    MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInBackend>* backend) override;

private:
    const AlsaPcm::DeviceName m_name;
};
