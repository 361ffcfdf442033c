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
    std::string choice;   // what chose the devices; empty when nothing did
    std::string noOutput; // why there is no wave-out device
    std::string noInput;  // why there is no wave-in device
    // Why the device play (record) uses does not open; empty when it opens or
    // was not tried.
    std::string outputFails;
    std::string inputFails;
    std::vector<std::string> pcms; // listing only: the PCMs ALSA's configuration names
};

// For a listing, also ALSA's names for its PCMs, and whether the devices
// play and record use open, tried with an open and a close where the list
// alone cannot tell (ALSA's: the library lists its configured PCM unopened,
// and a start learns at its one open). Each costs a connection to an audio
// server, which a start has no need of.
AudioDevices ListAudioDevices(bool listing = false);

// Why the device that play (record: `capture`) uses does not open, as the
// system says it ("ALSA's capture PCM "default" does not open: Connection
// refused"), tried with an open and a close; empty when it opens or the
// system does not say. For the message of a start that failed.
std::string DeviceFailure(bool capture);

// -D NAME. On Linux the ALSA PCM NAME, as aplay and arecord take it, for
// both directions: handed to the library through its environment
// (KALDRIX_AUDIO=alsa, KALDRIX_ALSA_PLAYBACK, KALDRIX_ALSA_CAPTURE, which it
// reads at each call). Returns a note for the user, or nothing: on Windows
// the system's default devices are used whatever the name, and the note
// says so.
std::string UseDevice(const std::string& name);

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
