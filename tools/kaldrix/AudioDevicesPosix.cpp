// SPDX-License-Identifier: MIT
#include "AudioDevices.h"

#include "winapi/AudioDevices.h"
#include "winapi/WindowsApi.h"

namespace cli {

// Through the library's own Windows-call emulation, linked into kaldrix:
// the same KALDRIX_AUDIO rules and device ids as the library's; for a
// listing, ALSA's PCMs as its name hints give them, and whether the PCMs in
// use open.
AudioDevices ListAudioDevices(bool listing) {
    AudioDevices devices;
    const AudioDeviceChoice choice = ChosenAudioDevices();
    devices.choice = choice.why;
    if (choice.backend == "alsa" && listing) {
        if (!AlsaDeviceOpens(AudioDirection::playback))
            devices.outputFails = "ALSA's playback device does not open";
        if (!AlsaDeviceOpens(AudioDirection::capture))
            devices.inputFails = "ALSA's capture device does not open";
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

} // namespace cli
