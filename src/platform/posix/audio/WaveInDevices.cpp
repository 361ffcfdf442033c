#include "platform/posix/audio/WaveInDevices.h"
#include "platform/posix/audio/AlsaWaveIn.h"
#include "platform/posix/audio/AudioChoice.h"
#include "platform/posix/audio/VirtualWaveIn.h"
#include "platform/posix/Immortal.h"

#include <map>
#include <mutex>

namespace {

// Built on first use and never destroyed, so it outlives every static object.
WaveInDevice* VirtualInput() {
    static WaveInDevice* device = MakeImmortal<VirtualWaveIn>();
    return device;
}

// One device object per ALSA input for the whole process, as callers hold on
// to the pointers; never destroyed, like the virtual input.
struct AlsaInputRegistry {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<WaveInDevice>> devices;
};

// ALSA's inputs, listed again at each call.
std::vector<WaveInDevice*> AlsaInputs() {
    static AlsaInputRegistry* registry = MakeImmortal<AlsaInputRegistry>();
    std::vector<WaveInDevice*> devices;
    std::lock_guard<std::mutex> lock(registry->mutex);
    for (AlsaPcm::DeviceName& name : AlsaPcm::ListDevices(SND_PCM_STREAM_CAPTURE)) {
        std::unique_ptr<WaveInDevice>& device = registry->devices[name.pcm + '\n' + name.display];
        if (!device)
            device = std::make_unique<AlsaWaveIn>(std::move(name));
        devices.push_back(device.get());
    }
    return devices;
}

} // namespace

std::vector<WaveInDevice*> CurrentWaveInDevices() {
    switch (AudioChoiceFromEnvironment()) {
    case AudioChoice::Auto:
        // ALSA when it can play, like the outputs, so both directions agree.
        if (AlsaPcm::DefaultOpens(SND_PCM_STREAM_PLAYBACK))
            return AlsaInputs();
        return {VirtualInput()};
    case AudioChoice::Alsa:
        return AlsaInputs();
    case AudioChoice::Virtual:
        return {VirtualInput()};
    case AudioChoice::None:
        break;
    }
    return {};
}
