// SPDX-License-Identifier: MIT
// How a RIFF file's chunks follow one another, and how far a walk through
// them may go.
#pragma once

// A search gives up after this many chunks: a sparse or zero-filled file
// would otherwise walk empty 8-byte chunks through gigabytes.
constexpr int kMaxChunksPerSearch = 65536;
