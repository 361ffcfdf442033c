#include "platform/posix/audio/PlayableFormat.h"

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

bool IsPlayableSample(WORD tag, WORD bits) {
    if (tag == WAVE_FORMAT_PCM)
        return bits == 8 || bits == 16 || bits == 24 || bits == 32;
    return tag == WAVE_FORMAT_IEEE_FLOAT && bits == 32;
}

} // namespace

MMRESULT CheckPlayableFormat(const WAVEFORMATEX& format) {
    if (format.nChannels < 1 || format.nChannels > 8)
        return WAVERR_BADFORMAT;
    if (format.nSamplesPerSec < 1000 || format.nSamplesPerSec > 192000)
        return WAVERR_BADFORMAT;
    if (format.nAvgBytesPerSec == 0 || format.nBlockAlign == 0)
        return WAVERR_BADFORMAT;
    WORD tag = format.wFormatTag;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (format.cbSize < kExtensibleExtraBytes)
            return WAVERR_BADFORMAT;
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
        const WORD validBits = extensible.Samples.wValidBitsPerSample;
        if (!IsSubFormatOfTag(extensible.SubFormat, &tag) || validBits == 0 ||
            validBits > format.wBitsPerSample)
            return WAVERR_BADFORMAT;
    }
    return IsPlayableSample(tag, format.wBitsPerSample) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}
