// SPDX-License-Identifier: MIT
// The WAVE header that the recorder writes when a recording starts, the WAVE
// file of no sound (RIFF size = header size - 8, data size 0), and the two
// sizes it patches in as the recording grows and when it stops. A format
// that plain PCM describes (one or two channels of 8 or 16 bits) gets the
// 44-byte header with a 16-byte "fmt " chunk; any other gets the 68-byte one
// with a 40-byte WAVE_FORMAT_EXTENSIBLE chunk (valid bits, channel mask, the
// PCM sub-format), as Windows asks for more channels or bits. The kaldrix
// program compiles this file too: its repair recognises that header in the
// file of a host that died while recording and patches the same two sizes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace RecordingHeader {

// The 44-byte header of 8000 Hz 16-bit mono, the recorder's default.
constexpr size_t kSize = 44;
// The RIFF size counts the header's bytes after its first 8 and the data.
constexpr uint32_t kRiffSizeBase = 36;
// The most sound whose RIFF size still fits the 32-bit field.
constexpr uint32_t kLargestData = 0xFFFFFFFFu - kRiffSizeBase;
constexpr size_t kDataSizeAt = 40;

// "RIFF", 36, "WAVE", a 16-byte "fmt " chunk of 8000 Hz 16-bit mono PCM,
// "data", 0: valid as it stands, so that a file cut short at any moment
// after it is written is read as a WAVE file.
extern const unsigned char kStart[kSize];

// One size field as it is written: its offset and its four bytes.
struct SizeField {
    size_t at;
    unsigned char bytes[4];
};
// The RIFF size (36 + dataBytes, at offset 4) and the data size (at offset
// 40) of a 44-byte header's recording that holds dataBytes of sound.
std::array<SizeField, 2> SizeFields(uint32_t dataBytes);

// The PCM format of a recording.
struct Format {
    uint32_t samplesPerSec;
    uint16_t channels;
    uint16_t bitsPerSample;

    uint16_t BlockAlign() const { return static_cast<uint16_t>(channels * bitsPerSample / 8); }
    uint32_t BytesPerSecond() const { return samplesPerSec * BlockAlign(); }
    // Beyond what WAVE_FORMAT_PCM describes: more than two channels, or
    // samples of more than 16 bits.
    bool NeedsExtensible() const { return channels > 2 || bitsPerSample > 16; }
    // The speakers of the usual layout for the count (SPEAKER_FRONT_LEFT ...).
    uint32_t ChannelMask() const;
};

constexpr Format kDefaultFormat{8000, 1, 16};

// Whether the recorder takes a format: PCM of 8,000 to 192,000 samples a
// second, 1 to 8 channels, 8, 16, 24 or 32 bits.
bool IsRecordable(int samplesPerSec, int channels, int bitsPerSample);

// The header of one recording's format.
class Header {
public:
    static constexpr size_t kLargestSize = 68;

    explicit Header(const Format& format);

    // The header that declares no sound, as the start writes it.
    const unsigned char* Start() const { return m_start.data(); }
    size_t Size() const { return m_size; }
    uint32_t RiffSizeBase() const { return static_cast<uint32_t>(m_size - 8); }
    // The RIFF size and the data size of a recording of dataBytes.
    std::array<SizeField, 2> SizeFields(uint32_t dataBytes) const;

private:
    std::array<unsigned char, kLargestSize> m_start{};
    size_t m_size = 0;
};

} // namespace RecordingHeader
