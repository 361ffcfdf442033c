// SPDX-License-Identifier: MIT
// The backend table that KALDRIX_AUDIO selects from, and what every backend
// shares about wave formats.
#include "winapi/audio/Backend.h"
#include "wave/PlausibleFormat.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr WORD kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT share this GUID apart from Data1,
// which holds the plain format tag.
bool IsSubFormatOfTag(const GUID& subFormat, WORD* tag) {
    static const BYTE kTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (subFormat.Data1 > 0xFFFF || subFormat.Data2 != 0x0000 || subFormat.Data3 != 0x0010 ||
        std::memcmp(subFormat.Data4, kTail, sizeof kTail) != 0)
        return false;
    *tag = static_cast<WORD>(subFormat.Data1);
    return true;
}

} // namespace

const std::vector<const BackendKind*>& AllBackends() {
    static const std::vector<const BackendKind*>* all =
        new std::vector<const BackendKind*>{&kAlsaBackend, &kVirtualBackend};
    return *all;
}

// Unset and "auto" take ALSA: where its device does not open, the host meets
// a missing device, never a silent stand-in. Any other value than a
// backend's name is no device.
AudioChoice ChooseBackend() {
    const char* value = std::getenv("KALDRIX_AUDIO");
    const std::string setting =
        value && *value ? std::string("KALDRIX_AUDIO=") + value : "KALDRIX_AUDIO unset";
    if (!value || !*value || std::strcmp(value, "auto") == 0)
        return {&kAlsaBackend, setting,
                setting + ": ALSA's devices, none where ALSA's device does not open"};
    for (const BackendKind* kind : AllBackends()) {
        if (std::strcmp(value, kind->name) == 0)
            return {kind, setting, setting + ": the " + kind->name + " devices"};
    }
    if (std::strcmp(value, "none") == 0)
        return {nullptr, setting, setting + ": no device"};
    return {nullptr, setting, setting + ", not auto, alsa, virtual or none: no device"};
}

std::vector<ChosenDevice> ChosenDevices(Direction direction) {
    std::vector<ChosenDevice> chosen;
    const AudioChoice choice = ChooseBackend();
    if (choice.backend) {
        for (DeviceName& name : choice.backend->devices(direction))
            chosen.push_back({choice.backend, std::move(name)});
    }
    return chosen;
}

bool DescribeSamples(const WAVEFORMATEX& format, SampleLayout* layout) {
    *layout = {format.wFormatTag, format.wBitsPerSample, format.wBitsPerSample};
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (format.cbSize < kExtensibleExtraBytes)
            return false;
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
        layout->validBits = extensible.Samples.wValidBitsPerSample;
        if (layout->validBits == 0 || layout->validBits > format.wBitsPerSample ||
            !IsSubFormatOfTag(extensible.SubFormat, &layout->tag))
            return false;
    }
    return layout->tag == WAVE_FORMAT_PCM || layout->tag == WAVE_FORMAT_IEEE_FLOAT;
}

MMRESULT CheckPlayableFormat(const WAVEFORMATEX& format) {
    SampleLayout samples;
    if (!IsPlausibleFormat(format) || format.nChannels > 8 || format.nSamplesPerSec > 192000 ||
        format.nAvgBytesPerSec == 0 || !DescribeSamples(format, &samples))
        return WAVERR_BADFORMAT;
    const bool playable =
        samples.tag == WAVE_FORMAT_PCM
            ? samples.bits == 8 || samples.bits == 16 || samples.bits == 24 || samples.bits == 32
            : samples.bits == 32;
    return playable ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}
