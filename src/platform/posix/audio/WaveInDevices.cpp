#include "platform/posix/audio/WaveInDevices.h"
#include "platform/posix/audio/AlsaWaveIn.h"
#include "platform/posix/audio/AudioDevices.h"
#include "platform/posix/audio/VirtualWaveIn.h"

std::vector<std::shared_ptr<WaveInDevice>> WaveInDevices() {
    return ChosenDevices<WaveInDevice, VirtualWaveIn, AlsaWaveIn>(SND_PCM_STREAM_CAPTURE);
}
