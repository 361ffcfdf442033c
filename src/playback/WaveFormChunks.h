// SPDX-License-Identifier: MIT
// The chunk search of the wave reader, one chunk header at a time: each step
// is computed in 64 bits and must move forward inside the searched range,
// and a search takes at most kMaxChunksPerSearch steps. A chain whose sizes
// wrap or run past the range ends the search as a missing chunk, where
// winmm's own search (MMIO_FINDCHUNK) can wrap back to an earlier chunk and
// loop for ever.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Where a search looks: from the chunk header at `from`, where the file's
// position stands, up to `end`.
struct ChunkRange {
    int64_t from;
    int64_t end;
};

// Finds the first chunk `id` (with form type `type` for RIFF and LIST
// chunks, 0 for any) in `range`. True with `chunk` filled as mmioDescend
// fills it and the file positioned at its data (past the form type of a
// RIFF or LIST chunk); false when there is none.
bool FindChunk(HMMIO file, FOURCC id, FOURCC type, ChunkRange range, MMCKINFO* chunk);

// Where the chunk after `chunk` starts: past its data and its pad byte.
int64_t ChunkEnd(const MMCKINFO& chunk);
