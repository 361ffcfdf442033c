#pragma once

// Which devices the POSIX layer offers, from KALDRIX_AUDIO, read at each call
// of the device operations (never while the library loads):
//   unset or "auto"  ALSA's devices when ALSA can open a playback PCM,
//                    otherwise one virtual output and one virtual input
//   "alsa"           ALSA only
//   "virtual"        the virtual devices
//   "none"           no device at all
enum class AudioChoice { Auto, Alsa, Virtual, None };

AudioChoice AudioChoiceFromEnvironment();
