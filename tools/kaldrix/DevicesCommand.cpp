#include "AudioDevices.h"
#include "Commands.h"
#include "Failure.h"

#include <cstdio>

namespace cli {

namespace {

std::string Name(const std::string& name) {
    return name.empty() ? "(capabilities unreadable)" : name;
}

std::string Device(const char* kind, const std::vector<std::string>& names, unsigned index,
                   const std::string& none) {
    if (index < names.size())
        return std::string(kind) + " " + std::to_string(index) + " (" + Name(names[index]) + ")";
    return std::string("no ") + kind + " device: " + none;
}

// One line per device, the one in use marked; or why there is none.
void List(const char* kind, const std::vector<std::string>& names, unsigned used, const char* user,
          const std::string& none) {
    if (names.empty())
        std::fprintf(stderr, "no %s device: %s\n", kind, none.c_str());
    for (unsigned id = 0; id < names.size(); ++id)
        std::fprintf(stderr, "%s %u: %s%s\n", kind, id, Name(names[id]).c_str(),
                     id == used ? (std::string("  <- ") + user).c_str() : "");
}

} // namespace

std::string PlayDevice(const AudioDevices& devices) {
    return Device("wave-out", devices.outputs, AudioDevices::kPlayIndex, devices.noOutput);
}

std::string RecordDevice(const AudioDevices& devices) {
    return Device("wave-in", devices.inputs, devices.recordIndex, devices.noInput);
}

int RunDevices(const Invocation&) {
    const AudioDevices devices = ListAudioDevices();
    if (!devices.choice.empty())
        std::fprintf(stderr, "%s\n", devices.choice.c_str());
    List("wave-out", devices.outputs, AudioDevices::kPlayIndex, "play", devices.noOutput);
    List("wave-in", devices.inputs, devices.recordIndex, "record", devices.noInput);
    for (const std::string& pcm : devices.pcms)
        std::fprintf(stderr, "ALSA PCM: %s\n", pcm.c_str());
    return devices.outputs.empty() && devices.inputs.empty() ? kNoDevice : kSuccess;
}

} // namespace cli
