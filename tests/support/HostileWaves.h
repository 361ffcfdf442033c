// SPDX-License-Identifier: MIT
// Hostile WAVE files that both builds must refuse at once, shared by the
// Linux suite (tests/hostile_input_test.cpp) and the Wine host
// (tests/wine/host_playback_test.cpp): chunk chains whose 32-bit sums wrap
// back to an earlier chunk, a chunk that reaches past 2 GiB of a sparse file,
// and formats no device can play.
#pragma once

#include "support/TestSupport.h"

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

namespace kxtest {

struct HostileWave {
    const char* name;
    Bytes bytes;
    // When not 0, the file is extended (sparse) to this length.
    uint64_t sparseLength;
    // The start fails at the device's open (the format), else at the file's.
    bool refusedByDevice;
};

inline void PrintTo(const HostileWave& row, std::ostream* out) { *out << row.name; }

inline Bytes HostileFormat(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
    RiffWriter body;
    body.U16(1).U16(channels).U32(rate).U32(rate * blockAlign).U16(blockAlign).U16(16);
    return body.bytes();
}

// "RIFF" declaring 0xFFFFFFFF bytes, "WAVE", then `parts`.
inline Bytes StreamedRiff(std::initializer_list<Bytes> parts) {
    RiffWriter file;
    file.Tag("RIFF").U32(0xFFFFFFFFu).Tag("WAVE");
    for (const Bytes& part : parts)
        file.Raw(part);
    return file.bytes();
}

inline Bytes JunkHeader(uint32_t size) { return RiffWriter().Tag("junk").U32(size).bytes(); }

inline std::vector<HostileWave> HostileWaves() {
    const Bytes format = RiffWriter().Chunk("fmt ", HostileFormat(1, 8000, 2)).bytes();
    const Bytes data = Pattern(1600, 21);
    const auto withFormat = [&](const Bytes& body) {
        return RiffWriter::Riff("WAVE",
                                RiffWriter().Chunk("fmt ", body).Chunk("data", data).bytes());
    };
    return {
        // The last chunk's end wraps, in 32 bits, back to the chunk at offset
        // 12: the search for "fmt " (20 and 28 bytes) or "data" (44 bytes)
        // would come back to it for ever.
        {"WrappingChunk20", StreamedRiff({JunkHeader(0xFFFFFFF8u)}), 0, false},
        {"WrappingChunk28", StreamedRiff({JunkHeader(0), JunkHeader(0xFFFFFFF0u)}), 0, false},
        {"WrappingChunk44", StreamedRiff({format, JunkHeader(0xFFFFFFE0u)}), 0, false},
        // The search for a RIFF chunk of form "WAVE" would come back to 0.
        {"WrappingRiff12", RiffWriter().Tag("RIFF").U32(0xFFFFFFF8u).Tag("AVI ").bytes(), 0, false},
        {"ChunkPast2GiB", StreamedRiff({format, JunkHeader(0x80000000u)}), 44 + 0x80000000ull + 8,
         false},
        {"ZeroChannels", withFormat(HostileFormat(0, 8000, 2)), 0, true},
        {"ZeroRate", withFormat(HostileFormat(1, 0, 2)), 0, true},
        {"RateAllOnes", withFormat(HostileFormat(1, 0xFFFFFFFFu, 2)), 0, true},
        {"ZeroBlockAlign", withFormat(HostileFormat(1, 8000, 0)), 0, true},
        {"BlockAlign65535", withFormat(HostileFormat(1, 8000, 65535)), 0, true},
    };
}

} // namespace kxtest
