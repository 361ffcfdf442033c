// SPDX-License-Identifier: MIT
#include "AudioDevices.h"
#include "Failure.h"

#include "winapi/AudioDevices.h"
#include "winapi/WindowsApi.h"

#include <cstdlib>

namespace cli {

namespace {

// "ALSA's capture PCM "default" does not open: Connection refused", or
// nothing when it opens.
std::string AlsaFailure(bool capture) {
    const AlsaPcmOpening pcm = OpenConfiguredAlsaPcm(capture);
    if (pcm.failure.empty())
        return "";
    return std::string("ALSA's ") + (capture ? "capture" : "playback") + " PCM \"" + pcm.name +
           "\" does not open: " + pcm.failure;
}

} // namespace

// Through the library's own Windows-call emulation, linked into kaldrix:
// the same KALDRIX_AUDIO rules and device ids as the library's, and ALSA's
// PCMs as its name hints give them, none of them opened.
AudioDevices ListAudioDevices() {
    AudioDevices devices;
    const AudioDeviceChoice choice = ChosenAudioDevices();
    devices.choice = choice.why;
    if (choice.backend == "alsa") {
        for (const AlsaPcmName& pcm : AlsaPcmNames())
            devices.pcms.push_back(pcm.name +
                                   (pcm.direction.empty() ? "" : " (" + pcm.direction + ")"));
    } else if (choice.backend.empty()) {
        devices.noOutput = devices.noInput = choice.setting;
    }
    devices.outputs = DeviceNames<WAVEOUTCAPSA>(waveOutGetNumDevs, waveOutGetDevCapsA);
    devices.inputs = DeviceNames<WAVEINCAPSA>(waveInGetNumDevs, waveInGetDevCapsA);
    // Where ALSA gives a direction no device, its PCM says why.
    if (choice.backend == "alsa" && devices.outputs.empty())
        devices.noOutput = AlsaFailure(false);
    if (choice.backend == "alsa" && devices.inputs.empty())
        devices.noInput = AlsaFailure(true);
    if (devices.noOutput.empty())
        devices.noOutput = "ALSA's playback device does not open";
    if (devices.noInput.empty())
        devices.noInput = "ALSA's capture device does not open";
    // The wave mapper records from the first wave-in device.
    devices.recordIndex = 0;
    return devices;
}

std::string UseDevice(const std::string& name, bool playback, bool capture) {
    setenv("KALDRIX_AUDIO", "alsa", 1);
    setenv("KALDRIX_ALSA_PLAYBACK", name.c_str(), 1);
    setenv("KALDRIX_ALSA_CAPTURE", name.c_str(), 1);
    // The library would fall back on a sound card's PCM: the one asked for
    // is checked first.
    for (const bool direction : {false, true}) {
        const std::string failure = (direction ? capture : playback) ? AlsaFailure(direction) : "";
        if (!failure.empty())
            throw Failure(kNoDevice, failure);
    }
    return "";
}

} // namespace cli
