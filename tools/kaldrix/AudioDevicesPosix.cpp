// SPDX-License-Identifier: MIT
#include "AudioDevices.h"

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/AlsaBackend.h"

namespace cli {

// The library's own backend table, from the same static archive: the same
// KALDRIX_AUDIO rules and device ids as the library's; for a listing, ALSA's
// PCMs as its name hints give them, and whether the PCMs in use open.
AudioDevices ListAudioDevices(bool listing) {
    AudioDevices devices;
    const AudioChoice choice = ChooseBackend();
    devices.choice = choice.why;
    if (choice.backend == &kAlsaBackend && listing) {
        if (!AlsaPcmOpens(Direction::Playback))
            devices.outputFails = "ALSA's playback device does not open";
        if (!AlsaPcmOpens(Direction::Capture))
            devices.inputFails = "ALSA's capture device does not open";
        for (const AlsaPcmHint& pcm : AlsaPcmHints())
            devices.pcms.push_back(pcm.name +
                                   (pcm.direction.empty() ? "" : " (" + pcm.direction + ")"));
    } else if (!choice.backend) {
        devices.noOutput = devices.noInput = choice.setting;
    }
    devices.outputs = DeviceNames<WAVEOUTCAPSA>(waveOutGetNumDevs, waveOutGetDevCapsA);
    devices.inputs = DeviceNames<WAVEINCAPSA>(waveInGetNumDevs, waveInGetDevCapsA);
    // The wave mapper records from the first wave-in device.
    devices.recordIndex = 0;
    return devices;
}

} // namespace cli
