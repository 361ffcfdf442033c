// SPDX-License-Identifier: MIT
// The little-endian fields of RIFF files, read from and put into bytes,
// whatever the processor's own order: the library's recorder, the kaldrix
// program's inspection and repair, and the tests share these.
#pragma once

#include <cstdint>

inline uint16_t ReadLe16(const unsigned char* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

inline uint32_t ReadLe32(const unsigned char* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

inline void PutLe16(unsigned char* bytes, uint16_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
}

inline void PutLe32(unsigned char* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}
