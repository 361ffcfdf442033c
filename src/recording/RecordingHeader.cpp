// SPDX-License-Identifier: MIT
#include "recording/RecordingHeader.h"
#include "platform/LittleEndian.h"

namespace RecordingHeader {

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
    std::array<SizeField, 2> fields{{{4, {}}, {kDataSizeAt, {}}}};
    PutLe32(fields[0].bytes, kRiffSizeBase + dataBytes);
    PutLe32(fields[1].bytes, dataBytes);
    return fields;
}

} // namespace RecordingHeader
