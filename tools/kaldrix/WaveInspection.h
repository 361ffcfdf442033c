// SPDX-License-Identifier: MIT
// Reads a WAVE file's header the way the library's player does, so that the
// host can tell a malformed file from a device that cannot be opened before
// it calls the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct WaveFormat {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
};

struct WaveFile {
    WaveFormat format;
    // The "fmt " chunk's first bytes as the file holds them: a WAVEFORMATEX
    // and the extra bytes its cbSize announces, up to those of a
    // WAVEFORMATEXTENSIBLE.
    std::vector<uint8_t> formatBytes;
    uint64_t fileSize = 0;
    uint64_t riffOffset = 0;  // where the RIFF chunk of form "WAVE" starts
    uint32_t dataSize = 0;    // as the "data" chunk declares it
    uint64_t dataOffset = 0;  // where the sound data starts
    uint64_t dataPresent = 0; // how much of it the file really holds
    // Empty, or why the file is an unfinished recording (RecordingRepair.h),
    // of which only the declared data is counted as present.
    std::string unfinished;
    std::vector<std::string> warnings; // the unfinished sentence among them

    // Playing time of the data the file holds.
    double Seconds() const;
};

// Throws Failure(kInputUnreadable) when the file cannot be read and
// Failure(kMalformed) naming what is wrong when the player could not open it.
WaveFile InspectWave(const std::string& path);

// "PCM, mono, 8000 Hz, 16-bit".
std::string DescribeFormat(const WaveFormat& format);

} // namespace cli
