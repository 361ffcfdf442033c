// SPDX-License-Identifier: MIT
// How far a walk through a file's RIFF chunks may go: a step count shared by
// every chunk search, and the furthest byte the platform's buffered file I/O
// can seek to in one file.
#pragma once

#include <cstdint>

// A search gives up after this many chunks: a sparse or zero-filled file
// would otherwise walk empty 8-byte chunks through gigabytes.
constexpr int kMaxChunksPerSearch = 65536;

// The end of the file `fileName` for buffered RIFF I/O: its length, but no
// further than the platform's mmio can seek (winmm's offsets are signed 32
// bits, the POSIX layer's RIFF positions unsigned 32 bits); 0 when the file
// cannot be looked at.
int64_t MmioFileEnd(const char* fileName);
