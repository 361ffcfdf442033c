// SPDX-License-Identifier: MIT
// The wave devices the library sees and the ones its playback and recording
// use, found through the same operations and rules the library uses
// (AudioDevicesPosix.cpp, AudioDevicesWin32.cpp).
#pragma once

#include <cstring>
#include <string>
#include <vector>

namespace cli {

struct AudioDevices {
    std::vector<std::string> outputs; // wave-out product names by device id
    std::vector<std::string> inputs;  // wave-in product names by device id
    // The library plays on the first wave-out device whose name contains the
    // empty pattern, which is device 0.
    static constexpr unsigned kPlayIndex = 0;
    // The wave-in device behind the wave mapper the library records from.
    unsigned recordIndex = 0;
    std::string choice;            // what chose the devices; empty when nothing did
    std::string noOutput;          // why there is no wave-out device
    std::string noInput;           // why there is no wave-in device
    std::vector<std::string> pcms; // the PCMs ALSA's configuration names, unopened
};

AudioDevices ListAudioDevices();

// -D NAME for a command that plays (`playback`), records (`capture`) or
// both. On Linux the ALSA PCM NAME, as aplay and arecord take it, for both
// directions: handed to the library through its environment (KALDRIX_AUDIO=
// alsa, KALDRIX_ALSA_PLAYBACK, KALDRIX_ALSA_CAPTURE, which it reads at each
// call), after a check that it opens in each direction used; throws
// Failure(kNoDevice) with ALSA's reason when it does not. Returns a note for
// the user, or nothing: on Windows the system's default devices are used
// whatever the name, and the note says so.
std::string UseDevice(const std::string& name, bool playback, bool capture);

// "wave-out 0 (KALDRIX VIRTUAL OUT)", or "no wave-out device: REASON".
std::string PlayDevice(const AudioDevices& devices);
// "wave-in 0 (KALDRIX VIRTUAL IN)", or "no wave-in device: REASON".
std::string RecordDevice(const AudioDevices& devices);

// The product names of one direction's devices by id, read as the library
// reads them; a device whose capabilities cannot be read has an empty name.
template <typename Caps, typename CountFunction, typename CapsFunction>
std::vector<std::string> DeviceNames(CountFunction count, CapsFunction capabilities) {
    std::vector<std::string> names;
    const unsigned devices = count();
    for (unsigned id = 0; id < devices; ++id) {
        Caps caps{};
        if (capabilities(id, &caps, sizeof caps) == 0)
            names.emplace_back(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
        else
            names.emplace_back();
    }
    return names;
}

} // namespace cli
