#include "Commands.h"
#include "Failure.h"
#include "StatusLine.h"
#include "WaveInspection.h"

#include <cstdio>

namespace cli {

int RunInfo(const Invocation& invocation) {
    const WaveFile wave = InspectWave(invocation.infoFile);
    const WaveFormat& f = wave.format;
    std::fprintf(stderr, "file:      %s\n", invocation.infoFile.c_str());
    std::fprintf(stderr, "format:    %s\n", DescribeFormat(f).c_str());
    std::fprintf(stderr,
                 "           tag %u, %u channel(s), %lu samples/s, %lu bytes/s, %u-byte blocks\n",
                 f.formatTag, f.channels, static_cast<unsigned long>(f.samplesPerSec),
                 static_cast<unsigned long>(f.avgBytesPerSec), f.blockAlign);
    std::fprintf(stderr, "data:      %llu bytes at offset %llu\n",
                 static_cast<unsigned long long>(wave.dataPresent),
                 static_cast<unsigned long long>(wave.dataOffset));
    std::fprintf(stderr, "duration:  %s (%.3f s)\n", FormatClock(wave.Seconds()).c_str(),
                 wave.Seconds());
    for (const std::string& warning : wave.warnings)
        std::fprintf(stderr, "warning:   %s\n", warning.c_str());
    return kSuccess;
}

} // namespace cli
