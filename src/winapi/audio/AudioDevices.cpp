// SPDX-License-Identifier: MIT
#include "winapi/AudioDevices.h"
#include "winapi/audio/AlsaBackend.h"

#include <cerrno>

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

AlsaPcmOpening OpenAlsaPcm(AudioDirection direction) {
    AlsaPcmOpening opening;
    const int result = OpenConfiguredPcm(direction == AudioDirection::capture ? Direction::Capture
                                                                              : Direction::Playback,
                                         &opening.name);
    // A PCM that is busy is there all the same: another program (or this
    // one) has it open.
    if (result != 0 && result != -EBUSY)
        opening.failure = snd_strerror(result);
    return opening;
}
