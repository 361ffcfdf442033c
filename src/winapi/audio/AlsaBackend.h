// SPDX-License-Identifier: MIT
// What of the ALSA backend other rooms see: the sample format a wave format
// maps to, the PCMs ALSA's configuration names, as `aplay -L` lists them, and
// whether the PCM a direction uses opens.
#pragma once

#include "winapi/audio/Backend.h"

#include <cstdarg>
// <alsa/error.h> declares snd_lib_error_set_local outside its extern "C"
// block; included first, it gets the C linkage the library has.
extern "C" {
#include <alsa/error.h>
}
#include <alsa/asoundlib.h>
#include <string>
#include <vector>

// The ALSA sample format of the same bytes as a wave format (the whole
// record), or SND_PCM_FORMAT_UNKNOWN.
snd_pcm_format_t AlsaFormatOf(const WAVEFORMATEX& format);

// A PCM from ALSA's name hints; nothing is opened to list it.
struct AlsaPcmHint {
    std::string name;        // what snd_pcm_open takes
    std::string description; // may span lines
    std::string direction;   // "Input", "Output", or empty for both
};
std::vector<AlsaPcmHint> AlsaPcmHints();

// Opens and closes again the PCM that wave-out 0 or the wave mapper uses
// (KALDRIX_ALSA_*, or "default"), whose name it gives: 0, or ALSA's error
// (-ETIMEDOUT when the open ran over its bound). For a listing, never for a
// start, whose own open answers that.
int OpenConfiguredPcm(Direction direction, std::string* name);
