// SPDX-License-Identifier: MIT
#include "playback/WaveFormChunks.h"
#include "wave/RiffChunks.h"

namespace {

constexpr int64_t kHeaderSize = 8;

} // namespace

int64_t ChunkEnd(const MMCKINFO& chunk) {
    return int64_t(chunk.dwDataOffset) + chunk.cksize + (chunk.cksize & 1);
}

bool FindChunk(HMMIO file, FOURCC id, FOURCC type, ChunkRange range, MMCKINFO* chunk) {
    int64_t position = range.from;
    for (int step = 0; step < kMaxChunksPerSearch; ++step) {
        // Descending without a search flag reads the one header at the
        // file's position.
        MMCKINFO found{};
        if (position + kHeaderSize > range.end ||
            mmioDescend(file, &found, nullptr, 0) != MMSYSERR_NOERROR ||
            int64_t(found.dwDataOffset) != position + kHeaderSize)
            return false;
        if (found.ckid == id && (type == 0 || found.fccType == type)) {
            *chunk = found;
            return true;
        }
        const int64_t next = ChunkEnd(found);
        if (next > range.end)
            return false;
        // The end is inside the range, so winmm's own 32-bit sum cannot wrap.
        if (mmioAscend(file, &found, 0) != MMSYSERR_NOERROR)
            return false;
        position = next;
    }
    return false;
}
