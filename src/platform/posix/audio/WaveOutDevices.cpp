#include "platform/posix/audio/AudioChoice.h"
#include "platform/posix/audio/VirtualWaveOut.h"

namespace {

// Built on first use and never destroyed, like all state of this layer.
const std::shared_ptr<WaveOutDevice>& TheVirtualWaveOut() {
    static auto* device = new std::shared_ptr<WaveOutDevice>(std::make_shared<VirtualWaveOut>());
    return *device;
}

} // namespace

// Until an ALSA backend is added, "auto" means the virtual device and "alsa"
// finds none.
std::vector<std::shared_ptr<WaveOutDevice>> WaveOutDevices() {
    switch (AudioChoiceFromEnvironment()) {
    case AudioChoice::Auto:
    case AudioChoice::Virtual:
        return {TheVirtualWaveOut()};
    case AudioChoice::Alsa:
    case AudioChoice::None:
        break;
    }
    return {};
}
