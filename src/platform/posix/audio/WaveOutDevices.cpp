#include "platform/posix/audio/AlsaWaveOut.h"
#include "platform/posix/audio/AudioChoice.h"
#include "platform/posix/audio/VirtualWaveOut.h"
#include "platform/posix/Immortal.h"

namespace {

// Built on first use and never destroyed, like all state of this layer.
const std::shared_ptr<WaveOutDevice>& TheVirtualWaveOut() {
    static auto* device =
        MakeImmortal<std::shared_ptr<WaveOutDevice>>(std::make_shared<VirtualWaveOut>());
    return *device;
}

// Listed again at each call, so that the ids follow ALSA's devices as they
// come and go; a device object lives as long as someone uses it.
std::vector<std::shared_ptr<WaveOutDevice>> AlsaWaveOuts() {
    std::vector<std::shared_ptr<WaveOutDevice>> devices;
    for (AlsaPcm::DeviceName& name : AlsaPcm::ListDevices(SND_PCM_STREAM_PLAYBACK))
        devices.push_back(std::make_shared<AlsaWaveOut>(std::move(name)));
    return devices;
}

} // namespace

std::vector<std::shared_ptr<WaveOutDevice>> WaveOutDevices() {
    switch (AudioChoiceFromEnvironment()) {
    case AudioChoice::Auto:
        if (AlsaPcm::DefaultOpens(SND_PCM_STREAM_PLAYBACK))
            return AlsaWaveOuts();
        return {TheVirtualWaveOut()};
    case AudioChoice::Alsa:
        return AlsaWaveOuts();
    case AudioChoice::Virtual:
        return {TheVirtualWaveOut()};
    case AudioChoice::None:
        break;
    }
    return {};
}
