// SPDX-License-Identifier: MIT
#include "AudioDevices.h"
#include "Commands.h"
#include "Failure.h"
#include "Json.h"
#include "LibraryLog.h"

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
std::string List(const char* kind, const std::vector<std::string>& names, unsigned used,
                 const char* user, const std::string& none) {
    if (names.empty())
        return std::string("no ") + kind + " device: " + none + "\n";
    std::string list;
    for (unsigned id = 0; id < names.size(); ++id)
        list += std::string(kind) + " " + std::to_string(id) + ": " + Name(names[id]) +
                (id == used ? std::string("  <- ") + user : "") + "\n";
    return list;
}

// {"devices": [{"id": 0, "name": "...", "used": true}], "none": null}; a
// device whose capabilities cannot be read has a null name.
std::string JsonList(const std::vector<std::string>& names, unsigned used,
                     const std::string& none) {
    std::vector<std::string> devices;
    for (unsigned id = 0; id < names.size(); ++id)
        devices.push_back("{\"id\": " + std::to_string(id) +
                          ", \"name\": " + (names[id].empty() ? "null" : JsonString(names[id])) +
                          ", \"used\": " + (id == used ? "true" : "false") + "}");
    return "{\"devices\": " + JsonArray(devices) +
           ", \"none\": " + (names.empty() ? JsonString(none) : "null") + "}";
}

} // namespace

std::string PlayDevice(const AudioDevices& devices) {
    return Device("wave-out", devices.outputs, AudioDevices::kPlayIndex, devices.noOutput);
}

std::string RecordDevice(const AudioDevices& devices) {
    return Device("wave-in", devices.inputs, devices.recordIndex, devices.noInput);
}

int RunDevices(const Invocation& invocation) {
    const AudioDevices devices = ListAudioDevices();
    std::string pcmList, pcmJson;
    for (const std::string& pcm : devices.pcms) {
        pcmList += "ALSA PCM: " + pcm + "\n";
        pcmJson += (pcmJson.empty() ? "" : ", ") + JsonString(pcm);
    }
    if (invocation.json)
        WriteResult(
            "{\"choice\": " + (devices.choice.empty() ? "null" : JsonString(devices.choice)) +
            ", \"waveOut\": " +
            JsonList(devices.outputs, AudioDevices::kPlayIndex, devices.noOutput) +
            ", \"waveIn\": " + JsonList(devices.inputs, devices.recordIndex, devices.noInput) +
            ", \"alsaPcms\": [" + pcmJson + "]}\n");
    else
        WriteResult(
            (devices.choice.empty() ? "" : devices.choice + "\n") +
            List("wave-out", devices.outputs, AudioDevices::kPlayIndex, "play", devices.noOutput) +
            List("wave-in", devices.inputs, devices.recordIndex, "record", devices.noInput) +
            pcmList);
    return devices.outputs.empty() && devices.inputs.empty() ? kNoDevice : kSuccess;
}

} // namespace cli
