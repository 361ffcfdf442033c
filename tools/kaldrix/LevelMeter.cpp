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

constexpr double kNewestSeconds = 0.120;
constexpr double kMeterFloor = -60.0;

// A sample's distance from silence as a fraction of full scale: 8-bit
// samples are unsigned around 128, wider ones signed little-endian.
double Magnitude(const unsigned char* sample, unsigned bytes) {
    if (bytes == 1)
        return std::abs(int(sample[0]) - 128) / 128.0;
    int64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i)
        value |= int64_t(sample[i]) << (8 * i);
    const int64_t sign = int64_t(1) << (8 * bytes - 1);
    value = (value ^ sign) - sign;
    return std::fabs(double(value)) / double(sign);
}

} // namespace

uint64_t LevelMeter::FileSize() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(m_path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

double LevelMeter::PeakDecibels() const {
    const uint64_t size = FileSize();
    const uint64_t header = RecordingHeader::Header(m_format).Size();
    const unsigned block = m_format.BlockAlign();
    if (size < header + block)
        return kSilence;
    // Whole frames only: they start at the header's end.
    const uint64_t sound = (size - header) / block * block;
    const uint64_t newest =
        std::max<uint64_t>(uint64_t(m_format.samplesPerSec * kNewestSeconds), 1) * block;
    const uint64_t count = std::min(sound, newest);
    std::vector<unsigned char> bytes(count);
    try {
        InputFile in(m_path, InputFile::Access::read);
        if (!in.Read(header + sound - count, bytes.data(), count))
            return kSilence;
    } catch (const Failure&) {
        return kSilence;
    }
    const unsigned sampleBytes = m_format.bitsPerSample / 8u;
    double peak = 0.0;
    for (size_t i = 0; i + sampleBytes <= bytes.size(); i += sampleBytes)
        peak = std::max(peak, Magnitude(&bytes[i], sampleBytes));
    return peak > 0.0 ? 20.0 * std::log10(peak) : kSilence;
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
