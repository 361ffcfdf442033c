#pragma once

#include "platform/posix/Immortal.h"
#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/AudioChoice.h"

#include <memory>
#include <vector>

// The devices of one direction that KALDRIX_AUDIO chooses, read again at each
// call so that the choice is made on use and never while the library loads,
// and so that the ids follow ALSA's devices as they come and go. In "auto"
// both directions take ALSA when it can play, so that they agree. A device
// object lives as long as someone uses it; the virtual one for good.
template <typename Device, typename VirtualDevice, typename AlsaDevice>
std::vector<std::shared_ptr<Device>> ChosenDevices(snd_pcm_stream_t direction) {
    static auto* virtualDevice =
        MakeImmortal<std::shared_ptr<Device>>(std::make_shared<VirtualDevice>());
    const auto alsaDevices = [direction] {
        std::vector<std::shared_ptr<Device>> devices;
        for (AlsaPcm::DeviceName& name : AlsaPcm::ListDevices(direction))
            devices.push_back(std::make_shared<AlsaDevice>(std::move(name)));
        return devices;
    };
    switch (AudioChoiceFromEnvironment()) {
    case AudioChoice::Auto:
        if (AlsaPcm::DefaultOpens(SND_PCM_STREAM_PLAYBACK))
            return alsaDevices();
        return {*virtualDevice};
    case AudioChoice::Alsa:
        return alsaDevices();
    case AudioChoice::Virtual:
        return {*virtualDevice};
    case AudioChoice::None:
        break;
    }
    return {};
}
