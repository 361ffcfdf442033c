#include "platform/posix/audio/WaveOutDevices.h"
#include "platform/posix/audio/AlsaWaveOut.h"
#include "platform/posix/audio/AudioDevices.h"
#include "platform/posix/audio/VirtualWaveOut.h"

std::vector<std::shared_ptr<WaveOutDevice>> WaveOutDevices() {
    return ChosenDevices<WaveOutDevice, VirtualWaveOut, AlsaWaveOut>(SND_PCM_STREAM_PLAYBACK);
}
