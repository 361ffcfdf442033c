// SPDX-License-Identifier: MIT
// What the emulation's wave devices can tell a program beyond the Windows
// calls, which only Linux has to say: which devices KALDRIX_AUDIO chose and
// why, and the PCMs that ALSA's configuration names. For the programs that
// link the emulation as a Windows program links winmm (the kaldrix program);
// what else only Linux knows about a device belongs here too.
#pragma once

#include <string>
#include <vector>

// What KALDRIX_AUDIO chose, read at each call (see winapi/audio/Backends.cpp).
struct AudioDeviceChoice {
    std::string backend; // as KALDRIX_AUDIO names it ("alsa", "virtual"); empty: no device
    std::string setting; // "KALDRIX_AUDIO=alsa", "KALDRIX_AUDIO unset"
    std::string why;     // for a person: the setting and what it made
};
AudioDeviceChoice ChosenAudioDevices();

// A PCM that ALSA's configuration names, as `aplay -L` lists them; nothing
// is opened to list it.
struct AlsaPcmName {
    std::string name;        // what snd_pcm_open takes
    std::string description; // may span lines
    std::string direction;   // "Input", "Output", or empty for both
};
std::vector<AlsaPcmName> AlsaPcmNames();

// The ALSA PCM that a direction's first device is when it opens
// (KALDRIX_ALSA_PLAYBACK or KALDRIX_ALSA_CAPTURE, else "default"), opened and
// closed again: `failure` says why it does not open, in ALSA's words
// (snd_strerror: "Connection refused"), and is empty when it opens.
struct AlsaPcmOpening {
    std::string name;
    std::string failure;
};
AlsaPcmOpening OpenConfiguredAlsaPcm(bool capture);
