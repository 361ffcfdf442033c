// SPDX-License-Identifier: MIT
#include "LevelMeter.h"
#include "Failure.h"
#include "FileAccess.h"
#include "StatusLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace cli {

namespace {

constexpr uint64_t kHeaderSize = 44;    // the recorder's fixed header
constexpr uint64_t kNewestBytes = 1920; // 120 ms at 16000 bytes per second
constexpr double kMeterFloor = -60.0;

} // namespace

uint64_t LevelMeter::FileSize() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(m_path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

double LevelMeter::PeakDecibels() const {
    const uint64_t size = FileSize();
    if (size <= kHeaderSize + 1)
        return kSilence;
    // Whole samples only: samples start at the header's end, two bytes each.
    const uint64_t sound = (size - kHeaderSize) & ~uint64_t(1);
    const uint64_t count = sound < kNewestBytes ? sound : kNewestBytes;
    std::vector<unsigned char> bytes(count);
    try {
        InputFile in(m_path, InputFile::Access::read);
        if (!in.Read(kHeaderSize + sound - count, bytes.data(), count))
            return kSilence;
    } catch (const Failure&) {
        return kSilence;
    }
    int peak = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const int sample = static_cast<int16_t>(uint16_t(bytes[i] | bytes[i + 1] << 8));
        peak = std::max(peak, std::abs(sample));
    }
    return peak ? 20.0 * std::log10(peak / 32768.0) : kSilence;
}

std::string MeterText(double decibels) {
    char value[16];
    if (decibels <= LevelMeter::kSilence)
        std::snprintf(value, sizeof value, "  -inf dB");
    else
        std::snprintf(value, sizeof value, "%6.0f dB", decibels);
    return Bar((decibels - kMeterFloor) / -kMeterFloor, 20) + value;
}

} // namespace cli
