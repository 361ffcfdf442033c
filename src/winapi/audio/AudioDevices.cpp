// SPDX-License-Identifier: MIT
#include "winapi/AudioDevices.h"
#include "winapi/audio/AlsaBackend.h"

AudioDeviceChoice ChosenAudioDevices() {
    const AudioChoice choice = ChooseBackend();
    return {choice.backend ? choice.backend->name : "", choice.setting, choice.why};
}

std::vector<AlsaPcmName> AlsaPcmNames() {
    std::vector<AlsaPcmName> names;
    for (AlsaPcmHint& hint : AlsaPcmHints())
        names.push_back(
            {std::move(hint.name), std::move(hint.description), std::move(hint.direction)});
    return names;
}

AlsaPcmOpening OpenConfiguredAlsaPcm(bool capture) {
    AlsaPcmOpening opening;
    const int result =
        OpenConfiguredPcm(capture ? Direction::Capture : Direction::Playback, &opening.name);
    if (result != 0)
        opening.failure = snd_strerror(result);
    return opening;
}
