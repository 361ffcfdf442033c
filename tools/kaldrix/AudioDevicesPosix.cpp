#include "AudioDevices.h"

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/AudioChoice.h"

#include <cstdlib>

namespace cli {

namespace {

// KALDRIX_AUDIO as the library reads it, and what it made of it.
void DescribeChoice(AudioDevices& devices) {
    const char* value = std::getenv("KALDRIX_AUDIO");
    const std::string setting =
        value && *value ? std::string("KALDRIX_AUDIO=") + value : "KALDRIX_AUDIO unset";
    switch (AudioChoiceFromEnvironment()) {
    case AudioChoice::Auto:
        if (AlsaPcm::DefaultOpens(SND_PCM_STREAM_PLAYBACK)) {
            devices.choice = setting + ": ALSA's devices, as ALSA's default device opens";
            devices.noOutput = "ALSA has no playback device";
            devices.noInput = "ALSA has no capture device";
        } else {
            devices.choice =
                setting + ": the virtual devices, as ALSA cannot open a playback device";
        }
        break;
    case AudioChoice::Alsa:
        devices.choice = setting + ": ALSA's devices";
        devices.noOutput = "ALSA has no playback device";
        devices.noInput = "ALSA has no capture device";
        break;
    case AudioChoice::Virtual:
        devices.choice = setting + ": the virtual devices";
        break;
    case AudioChoice::None:
        devices.choice = value && std::string(value) != "none"
                             ? setting + ", not auto, alsa, virtual or none: no device"
                             : setting + ": no device";
        devices.noOutput = devices.noInput = setting;
        break;
    }
}

} // namespace

AudioDevices ListAudioDevices() {
    AudioDevices devices;
    DescribeChoice(devices);
    devices.outputs = DeviceNames<WAVEOUTCAPSA>(waveOutGetNumDevs, waveOutGetDevCapsA);
    devices.inputs = DeviceNames<WAVEINCAPSA>(waveInGetNumDevs, waveInGetDevCapsA);
    // The wave mapper records from the first wave-in device.
    devices.recordIndex = 0;
    return devices;
}

} // namespace cli
