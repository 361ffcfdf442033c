// SPDX-License-Identifier: MIT
#include "wave/RecordingHeader.h"
#include "wave/LittleEndian.h"

#include <cstring>

namespace RecordingHeader {

namespace {

constexpr uint16_t kFormatPcm = 0x0001;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kPlainFormatBytes = 16;
constexpr uint32_t kExtensibleFormatBytes = 40;
// The bytes of the extensible chunk after the plain ones: valid bits (2),
// channel mask (4), sub-format (16).
constexpr uint16_t kExtensibleExtraBytes = 22;
// KSDATAFORMAT_SUBTYPE_PCM, {00000001-0000-0010-8000-00AA00389B71}, as
// stored: Data1, Data2 and Data3 little-endian, then Data4's bytes.
constexpr unsigned char kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

} // namespace

// Written as it stands, not built from the recorder's fields.
// clang-format off
const unsigned char kStart[kSize] = {
    'R', 'I', 'F', 'F', 36, 0, 0, 0,        // RIFF, size 36: the header alone
    'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', // WAVE, "fmt "
    16, 0, 0, 0, 1, 0, 1, 0,                // 16 bytes: PCM, 1 channel
    0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0,     // 8000 samples/s, 16000 bytes/s
    2, 0, 16, 0,                            // 2-byte blocks of 16 bits
    'd', 'a', 't', 'a', 0, 0, 0, 0};        // "data", size 0
// clang-format on

std::array<SizeField, 2> SizeFields(uint32_t dataBytes) {
    return Header(kDefaultFormat).SizeFields(dataBytes);
}

// The layouts of WAVE files and of Windows' own speaker configurations
// (KSAUDIO_SPEAKER_MONO ... KSAUDIO_SPEAKER_7POINT1_SURROUND), in channel
// order: mono is front centre; 3 adds it to stereo; 4 is quad; 5 quad with
// centre; 6 is 5.1; 7 is 6.1 (5.1 with side speakers and back centre); 8 is
// 7.1 with side speakers.
uint32_t Format::ChannelMask() const {
    static constexpr uint32_t kMasks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
    return channels < 9 ? kMasks[channels] : 0;
}

bool IsRecordable(int samplesPerSec, int channels, int bitsPerSample) {
    return samplesPerSec >= 8000 && samplesPerSec <= 192000 && channels >= 1 && channels <= 8 &&
           (bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 ||
            bitsPerSample == 32);
}

Header::Header(const Format& format) {
    const bool extensible = format.NeedsExtensible();
    const uint32_t formatBytes = extensible ? kExtensibleFormatBytes : kPlainFormatBytes;
    m_size = 20 + formatBytes + 8;
    unsigned char* at = m_start.data();
    std::memcpy(at, "RIFF", 4);
    PutLe32(at + 4, RiffSizeBase());
    std::memcpy(at + 8, "WAVEfmt ", 8);
    PutLe32(at + 16, formatBytes);
    PutLe16(at + 20, extensible ? kFormatExtensible : kFormatPcm);
    PutLe16(at + 22, format.channels);
    PutLe32(at + 24, format.samplesPerSec);
    PutLe32(at + 28, format.BytesPerSecond());
    PutLe16(at + 32, format.BlockAlign());
    PutLe16(at + 34, format.bitsPerSample);
    if (extensible) {
        PutLe16(at + 36, kExtensibleExtraBytes);
        PutLe16(at + 38, format.bitsPerSample); // every bit of the container is valid
        PutLe32(at + 40, format.ChannelMask());
        std::memcpy(at + 44, kPcmSubFormat, sizeof kPcmSubFormat);
    }
    std::memcpy(at + m_size - 8, "data", 4); // its size 0
}

std::array<SizeField, 2> Header::SizeFields(uint32_t dataBytes) const {
    std::array<SizeField, 2> fields{{{4, {}}, {m_size - 4, {}}}};
    PutLe32(fields[0].bytes, RiffSizeBase() + dataBytes);
    PutLe32(fields[1].bytes, dataBytes);
    return fields;
}

} // namespace RecordingHeader
