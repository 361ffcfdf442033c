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

// One line per device, the one in use marked, with why it does not open
// where it does not; or why there is none.
std::string List(const char* kind, const std::vector<std::string>& names, unsigned used,
                 const char* user, const std::string& none, const std::string& fails) {
    if (names.empty())
        return std::string("no ") + kind + " device: " + none + "\n";
    std::string list;
    for (unsigned id = 0; id < names.size(); ++id)
        list += std::string(kind) + " " + std::to_string(id) + ": " + Name(names[id]) +
                (id == used ? std::string("  <- ") + user : "") +
                (id == used && !fails.empty() ? " (" + fails + ")" : "") + "\n";
    return list;
}

// {"devices": [{"id": 0, "name": "...", "used": true}], "none": null}; a
// device whose capabilities cannot be read has a null name; "none" says why
// there is no device, or why the one in use does not open.
std::string JsonList(const std::vector<std::string>& names, unsigned used, const std::string& none,
                     const std::string& fails) {
    std::vector<std::string> devices;
    for (unsigned id = 0; id < names.size(); ++id)
        devices.push_back("{\"id\": " + std::to_string(id) +
                          ", \"name\": " + (names[id].empty() ? "null" : JsonString(names[id])) +
                          ", \"used\": " + (id == used ? "true" : "false") + "}");
    const std::string why = names.empty() ? none : fails;
    return "{\"devices\": " + JsonArray(devices) +
           ", \"none\": " + (why.empty() ? "null" : JsonString(why)) + "}";
}

} // namespace

std::string PlayDevice(const AudioDevices& devices) {
    return Device("wave-out", devices.outputs, AudioDevices::kPlayIndex, devices.noOutput);
}

std::string RecordDevice(const AudioDevices& devices) {
    return Device("wave-in", devices.inputs, devices.recordIndex, devices.noInput);
}

int RunDevices(const Invocation& invocation) {
    const AudioDevices devices = ListAudioDevices(true);
    std::string pcmList, pcmJson;
    for (const std::string& pcm : devices.pcms) {
        pcmList += "ALSA PCM: " + pcm + "\n";
        pcmJson += (pcmJson.empty() ? "" : ", ") + JsonString(pcm);
    }
    if (invocation.json)
        WriteResult(
            "{\"choice\": " + (devices.choice.empty() ? "null" : JsonString(devices.choice)) +
            ", \"waveOut\": " +
            JsonList(devices.outputs, AudioDevices::kPlayIndex, devices.noOutput,
                     devices.outputFails) +
            ", \"waveIn\": " +
            JsonList(devices.inputs, devices.recordIndex, devices.noInput, devices.inputFails) +
            ", \"alsaPcms\": [" + pcmJson + "]}\n");
    else
        WriteResult((devices.choice.empty() ? "" : devices.choice + "\n") +
                    List("wave-out", devices.outputs, AudioDevices::kPlayIndex, "play",
                         devices.noOutput, devices.outputFails) +
                    List("wave-in", devices.inputs, devices.recordIndex, "record", devices.noInput,
                         devices.inputFails) +
                    pcmList);
    const bool playable = !devices.outputs.empty() && devices.outputFails.empty();
    const bool recordable = !devices.inputs.empty() && devices.inputFails.empty();
    return playable || recordable ? kSuccess : kNoDevice;
}

} // namespace cli
