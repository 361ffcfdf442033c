// SPDX-License-Identifier: MIT
// The furthest byte the platform's buffered file I/O can seek to in one
// file, which a walk through its RIFF chunks may not pass.
#pragma once

#include <cstdint>

// The end of the file `fileName` for buffered RIFF I/O: its length, but no
// further than the platform's mmio can seek (winmm's offsets are signed 32
// bits, the POSIX layer's RIFF positions unsigned 32 bits); 0 when the file
// cannot be looked at.
int64_t MmioFileEnd(const char* fileName);
