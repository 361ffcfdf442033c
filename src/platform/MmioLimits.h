// SPDX-License-Identifier: MIT
// The furthest byte the platform's buffered file I/O can seek to in one
// file, which a walk through its RIFF chunks may not pass.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// The end of the file that `file` opened, for buffered RIFF I/O: its length,
// but no further than the platform's mmio can seek (winmm's offsets are
// signed 32 bits, the POSIX layer's RIFF positions unsigned 32 bits); 0 when
// the file cannot be looked at. The length comes from the open file itself,
// through the handle that mmio's file I/O procedure keeps in adwInfo[0],
// never from a second look-up of its name.
int64_t MmioFileEnd(HMMIO file);
