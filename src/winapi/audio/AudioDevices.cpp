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

bool AlsaDeviceOpens(AudioDirection direction) {
    return AlsaPcmOpens(direction == AudioDirection::capture ? Direction::Capture
                                                             : Direction::Playback);
}
