#include "platform/posix/audio/WaveInDevices.h"
#include "platform/posix/audio/AudioChoice.h"
#include "platform/posix/audio/VirtualWaveIn.h"
#include "platform/posix/Immortal.h"

namespace {

// Built on first use and never destroyed, so it outlives every static object.
WaveInDevice* VirtualInput() {
    static WaveInDevice* device = MakeImmortal<VirtualWaveIn>();
    return device;
}

} // namespace

std::vector<WaveInDevice*> CurrentWaveInDevices() {
    switch (AudioChoiceFromEnvironment()) {
    case AudioChoice::Auto: // no ALSA input backend yet: like a desktop's dummy input
    case AudioChoice::Virtual:
        return {VirtualInput()};
    case AudioChoice::Alsa:
    case AudioChoice::None:
        break;
    }
    return {};
}
