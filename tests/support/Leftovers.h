// SPDX-License-Identifier: MIT
// What a run of the library must leave behind: nothing held in the platform
// layer beyond what a failed device call kept on purpose, and recordings that
// are complete WAVE files. Each check answers "" when all is well, else what
// is wrong, so that harnesses can collect findings instead of stopping.
#pragma once

#include "support/TestSupport.h"

#include <string>
#include <vector>

namespace kxtest {

// What the platform layer and the process hold at one moment.
struct Holdings {
    unsigned handles = 0;
    unsigned waveInDevices = 0;
    unsigned waveInHeaders = 0;
    unsigned keptWaveInHeaders = 0;
    int waveOutHandles = 0;
    int waveOutHeaders = 0;
    int keptWaveOutHeaders = 0;
    int files = 0;
    int threads = 0;
};

Holdings CurrentHoldings();

// What may stay beyond the holdings before a run: devices whose close failed
// (with their stream's thread, its wake-up descriptor and the device's own,
// and prepared headers), threads that a
// stop terminated (on POSIX they park for good), and files that a failed
// stop leaves open until the next start.
struct Allowance {
    unsigned devices = 0;
    unsigned threads = 0;
    unsigned files = 0;
};

// Waits (up to `limitMs`, threads take a moment to leave) until the layer
// holds no more than `before` and what `allowed` and the wave-in headers the
// layer counts as kept allow; "" then, else what is still held.
std::string Leftovers(const Holdings& before, const Allowance& allowed, unsigned limitMs = 3000);

// A recording of the 8000 Hz 16-bit mono input: a 44-byte header whose sizes
// match the file's length, whole 960-byte buffers, and the data a slice of
// `input` from its first byte (silence after its end).
std::string RecordingFault(const std::string& path, const Bytes& input);

// What the virtual output played: `played` must be made of slices of
// `datas`, in order, each file's bytes in their order (a block that could
// not be queued may be missing), and nothing else.
std::string PlayedFault(const Bytes& played, const std::vector<Bytes>& datas);

} // namespace kxtest
