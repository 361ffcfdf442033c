// SPDX-License-Identifier: MIT
// What the emulation's wave devices can tell a program beyond the Windows
// calls, which only Linux has to say: which devices KALDRIX_AUDIO chose and
// why, the PCMs that ALSA's configuration names, and whether a direction's
// PCM opens. For the programs that link the emulation as a Windows program
// links winmm (the kaldrix program); what else only Linux knows about a
// device belongs here too.
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

enum class AudioDirection { playback, capture };

// The PCM that wave-out 0 (playback) or the wave mapper (capture) uses
// (KALDRIX_ALSA_PLAYBACK or KALDRIX_ALSA_CAPTURE, else "default"), tried with
// an open and a close: `failure` says why it does not open, in ALSA's words
// (snd_strerror: "Connection refused"), and is empty when it opens or
// another program holds it. For a listing, and for the reason a start
// failed: a start learns whether it is there at its own open.
struct AlsaPcmOpening {
    std::string name;
    std::string failure;
};
AlsaPcmOpening OpenAlsaPcm(AudioDirection direction);
