// SPDX-License-Identifier: MIT
// How loud a recording is right now, read from the newest samples of the
// growing file (the library writes each captured 60 ms as it arrives).
#pragma once

#include "wave/RecordingHeader.h"

#include <cstdint>
#include <string>

namespace cli {

class LevelMeter {
public:
    LevelMeter(std::string path, const RecordingHeader::Format& format)
        : m_path(std::move(path)), m_format(format) {}

    // Size of the file now, 0 when it cannot be read.
    uint64_t FileSize() const;
    // Peak of the newest 120 ms of samples, over all channels, in dB below
    // full scale; kSilence when there are none yet or all are silent.
    double PeakDecibels() const;

    static constexpr double kSilence = -99.0;

private:
    std::string m_path;
    RecordingHeader::Format m_format;
};

// "[##########----------]  -30 dB" on a scale from -60 dB to 0 dB.
std::string MeterText(double decibels);

} // namespace cli
