// SPDX-License-Identifier: MIT
#include "AudioDevices.h"

#include "winapi/AudioDevices.h"
#include "winapi/WindowsApi.h"

#include <cstdlib>

namespace cli {

namespace {

// "ALSA's capture PCM "default" does not open: Connection refused", or
// nothing when it opens.
std::string AlsaFailure(AudioDirection direction) {
    const AlsaPcmOpening pcm = OpenAlsaPcm(direction);
    if (pcm.failure.empty())
        return "";
    return std::string("ALSA's ") +
           (direction == AudioDirection::capture ? "capture" : "playback") + " PCM \"" + pcm.name +
           "\" does not open: " + pcm.failure;
}

} // namespace

// Through the library's own Windows-call emulation, linked into kaldrix:
// the same KALDRIX_AUDIO rules and device ids as the library's; for a
// listing, ALSA's PCMs as its name hints give them, and whether the PCMs in
// use open.
AudioDevices ListAudioDevices(bool listing) {
    AudioDevices devices;
    const AudioDeviceChoice choice = ChosenAudioDevices();
    devices.choice = choice.why;
    if (choice.backend == "alsa" && listing) {
        devices.outputFails = AlsaFailure(AudioDirection::playback);
        devices.inputFails = AlsaFailure(AudioDirection::capture);
        for (const AlsaPcmName& pcm : AlsaPcmNames())
            devices.pcms.push_back(pcm.name +
                                   (pcm.direction.empty() ? "" : " (" + pcm.direction + ")"));
    } else if (choice.backend.empty()) {
        devices.noOutput = devices.noInput = choice.setting;
    }
    devices.outputs = DeviceNames<WAVEOUTCAPSA>(waveOutGetNumDevs, waveOutGetDevCapsA);
    devices.inputs = DeviceNames<WAVEINCAPSA>(waveInGetNumDevs, waveInGetDevCapsA);
    // The wave mapper records from the first wave-in device.
    devices.recordIndex = 0;
    return devices;
}

std::string DeviceFailure(bool capture) {
    if (ChosenAudioDevices().backend != "alsa")
        return "";
    return AlsaFailure(capture ? AudioDirection::capture : AudioDirection::playback);
}

std::string UseDevice(const std::string& name) {
    setenv("KALDRIX_AUDIO", "alsa", 1);
    setenv("KALDRIX_ALSA_PLAYBACK", name.c_str(), 1);
    setenv("KALDRIX_ALSA_CAPTURE", name.c_str(), 1);
    return "";
}

} // namespace cli
