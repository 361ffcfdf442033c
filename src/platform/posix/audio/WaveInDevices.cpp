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

// ALSA's inputs, listed again at each call. Each PCM keeps one device object
// for the whole process, as callers hold on to the pointers.
std::vector<WaveInDevice*> AlsaInputs() {
    static auto* mutex = new std::mutex;
    static auto* known = new std::map<std::string, WaveInDevice*>;
    std::vector<WaveInDevice*> devices;
    std::lock_guard<std::mutex> lock(*mutex);
    for (AlsaPcm::DeviceName& name : AlsaPcm::ListDevices(SND_PCM_STREAM_CAPTURE)) {
        WaveInDevice*& device = (*known)[name.pcm + '\n' + name.display];
        if (!device)
            device = new AlsaWaveIn(std::move(name));
        devices.push_back(device);
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
