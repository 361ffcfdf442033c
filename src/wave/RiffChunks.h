// SPDX-License-Identifier: MIT
// How a RIFF file's chunks follow one another, and the one walk through them
// that the library's reader, the Windows-call emulation's mmioDescend and
// the kaldrix program's inspection share. The walk reads one chunk header at
// a time: each step is computed in 64 bits and must move forward inside the
// searched range, and a search takes at most kMaxChunksPerSearch steps. A
// chain whose sizes wrap or run past the range ends the search, where
// winmm's own search (MMIO_FINDCHUNK) can wrap back to an earlier chunk and
// loop for ever.
#pragma once

#include <cstdint>

// A chunk header: "RIFF" and "LIST" chunks carry a form type after it.
struct RiffChunkHeader {
    uint32_t id;
    uint32_t size;     // as declared: the data, without the pad byte
    uint32_t formType; // 0 for a chunk without one
};

constexpr int64_t kChunkHeaderSize = 8;
constexpr uint32_t kRiffId = 0x46464952; // "RIFF"
constexpr uint32_t kListId = 0x5453494C; // "LIST"

constexpr bool HasFormType(uint32_t id) { return id == kRiffId || id == kListId; }

// Where the chunk after one whose data starts at `dataOffset` begins: past
// its data and the pad byte that keeps every chunk at an even offset.
constexpr int64_t ChunkEnd(int64_t dataOffset, uint32_t size) {
    return dataOffset + size + (size & 1);
}

// A search gives up after this many chunks: a sparse or zero-filled file
// would otherwise walk empty 8-byte chunks through gigabytes.
constexpr int kMaxChunksPerSearch = 65536;

// Where a search looks: chunk headers from the one at `from` up to `end`.
struct ChunkRange {
    int64_t from;
    int64_t end;
};

struct ChunkSearch {
    enum Outcome {
        found,         // at `position`
        pastRange,     // the header at `position` would not fit in the range
        unreadable,    // read() could not read the header at `position`
        tooManyChunks, // kMaxChunksPerSearch headers, none of them wanted
    };
    Outcome outcome;
    int64_t position;
    RiffChunkHeader header; // the one found
};

// Walks the chunk headers of `range` in order: read(position, &header)
// reads the header at `position` (false when it cannot), and the walk stops
// at the first one for which wanted(header, position) holds.
template <typename Read, typename Wanted>
ChunkSearch FindChunk(ChunkRange range, Read read, Wanted wanted) {
    int64_t position = range.from;
    for (int step = 0; step < kMaxChunksPerSearch; ++step) {
        if (position + kChunkHeaderSize > range.end)
            return {ChunkSearch::pastRange, position, {}};
        RiffChunkHeader header{};
        if (!read(position, &header))
            return {ChunkSearch::unreadable, position, {}};
        if (wanted(header, position))
            return {ChunkSearch::found, position, header};
        position = ChunkEnd(position + kChunkHeaderSize, header.size);
    }
    return {ChunkSearch::tooManyChunks, position, {}};
}
