// SPDX-License-Identifier: MIT
// The 44-byte WAVE header that the recorder writes when a recording starts,
// the WAVE file of no sound (RIFF size 36, data size 0), and the two sizes it
// patches in as the recording grows and when it stops. The kaldrix program compiles this file too:
// its repair recognises that header in the file of a host that died while recording and patches the
// same two sizes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace RecordingHeader {

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
// 40) of a recording that holds dataBytes of sound.
std::array<SizeField, 2> SizeFields(uint32_t dataBytes);

} // namespace RecordingHeader
