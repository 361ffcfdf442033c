// SPDX-License-Identifier: MIT
// Hostile WAVE files that both builds must refuse at once, shared by the
// Linux suite (tests/hostile_input_test.cpp) and the Wine host
// (tests/wine/host_playback_test.cpp): chunk chains whose 32-bit sums wrap
// back to an earlier chunk, a chunk that reaches past 2 GiB of a sparse file,
// and formats no device can play.
#pragma once

#include "support/TestSupport.h"

#include <cstdint>
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

// "RIFF" declaring 0xFFFFFFFF bytes, "WAVE", then `chunks`.
inline Bytes StreamedRiff(const Bytes& chunks) {
    RiffWriter file;
    file.Tag("RIFF").U32(0xFFFFFFFFu).Tag("WAVE").Raw(chunks);
    return file.bytes();
}

// A chunk header whose size wraps, in 32 bits, to `back` bytes before the
// header's own offset `at`.
inline Bytes WrappingJunk(uint32_t at, uint32_t back) {
    RiffWriter chunk;
    chunk.Tag("junk").U32(uint32_t(0) - (at + 8) + (at - back));
    return chunk.bytes();
}

inline std::vector<HostileWave> HostileWaves() {
    const Bytes format = HostileFormat(1, 8000, 2);
    RiffWriter formatChunk;
    formatChunk.Chunk("fmt ", format);
    RiffWriter emptyJunk;
    emptyJunk.Chunk("junk", {});
    const Bytes data = Pattern(1600, 21);
    auto withFormat = [&](const Bytes& fmt) {
        RiffWriter chunks;
        chunks.Chunk("fmt ", fmt).Chunk("data", data);
        return RiffWriter::Riff("WAVE", chunks.bytes());
    };
    RiffWriter otherForm;
    otherForm.Tag("RIFF").U32(0xFFFFFFF8u).Tag("AVI ");
    RiffWriter reachingPast2GiB;
    reachingPast2GiB.Tag("junk").U32(0x80000000u);
    Bytes twoJunks = emptyJunk.bytes();
    const Bytes wrapTo12 = WrappingJunk(20, 8);
    twoJunks.insert(twoJunks.end(), wrapTo12.begin(), wrapTo12.end());
    return {
        // The searches for "fmt " (20 and 28 bytes) and "data" (44 bytes)
        // would come back to the chunk at offset 12 for ever.
        {"WrappingChunk20", StreamedRiff(WrappingJunk(12, 0)), 0, false},
        {"WrappingChunk28", StreamedRiff(twoJunks), 0, false},
        {"WrappingChunk44",
         [&] {
             Bytes chunks = formatChunk.bytes();
             const Bytes junk = WrappingJunk(36, 24);
             chunks.insert(chunks.end(), junk.begin(), junk.end());
             return StreamedRiff(chunks);
         }(),
         0, false},
        // The search for a RIFF chunk of form "WAVE" would come back to 0.
        {"WrappingRiff12", otherForm.bytes(), 0, false},
        {"ChunkPast2GiB",
         [&] {
             Bytes chunks = formatChunk.bytes();
             chunks.insert(chunks.end(), reachingPast2GiB.bytes().begin(),
                           reachingPast2GiB.bytes().end());
             return StreamedRiff(chunks);
         }(),
         44 + 0x80000000ull + 8, false},
        {"ZeroChannels", withFormat(HostileFormat(0, 8000, 2)), 0, true},
        {"ZeroRate", withFormat(HostileFormat(1, 0, 2)), 0, true},
        {"RateAllOnes", withFormat(HostileFormat(1, 0xFFFFFFFFu, 2)), 0, true},
        {"ZeroBlockAlign", withFormat(HostileFormat(1, 8000, 0)), 0, true},
        {"BlockAlign65535", withFormat(HostileFormat(1, 8000, 65535)), 0, true},
    };
}

} // namespace kxtest
