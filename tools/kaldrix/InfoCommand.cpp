// SPDX-License-Identifier: MIT
#include "Commands.h"
#include "Failure.h"
#include "Json.h"
#include "LibraryLog.h"
#include "StatusLine.h"
#include "WaveInspection.h"

#include <cstdarg>
#include <cstdio>

namespace cli {

namespace {

std::string Printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printed(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

std::string Report(const std::string& path, const WaveFile& wave) {
    const WaveFormat& f = wave.format;
    std::string report = "file:      " + path + "\n";
    report += "format:    " + DescribeFormat(f) + "\n";
    report += Printed("           tag %u, %u channel(s), %lu samples/s, %lu bytes/s, %u-byte "
                      "blocks\n",
                      f.formatTag, f.channels, static_cast<unsigned long>(f.samplesPerSec),
                      static_cast<unsigned long>(f.avgBytesPerSec), f.blockAlign);
    report += Printed("data:      %llu bytes at offset %llu\n",
                      static_cast<unsigned long long>(wave.dataPresent),
                      static_cast<unsigned long long>(wave.dataOffset));
    report += "duration:  " + FormatClock(wave.Seconds()) + Printed(" (%.3f s)\n", wave.Seconds());
    for (const std::string& warning : wave.warnings)
        report += "warning:   " + warning + "\n";
    return report;
}

std::string JsonReport(const std::string& path, const WaveFile& wave) {
    const WaveFormat& f = wave.format;
    std::vector<std::string> warnings;
    for (const std::string& warning : wave.warnings)
        warnings.push_back(JsonString(warning));
    return "{\"file\": " + JsonString(path) + ", \"format\": " + JsonString(DescribeFormat(f)) +
           Printed(", \"formatTag\": %u, \"channels\": %u, \"samplesPerSec\": %lu, "
                   "\"avgBytesPerSec\": %lu, \"blockAlign\": %u, \"bitsPerSample\": %u, "
                   "\"dataBytes\": %llu, \"dataOffset\": %llu, \"seconds\": %.3f",
                   f.formatTag, f.channels, static_cast<unsigned long>(f.samplesPerSec),
                   static_cast<unsigned long>(f.avgBytesPerSec), f.blockAlign, f.bitsPerSample,
                   static_cast<unsigned long long>(wave.dataPresent),
                   static_cast<unsigned long long>(wave.dataOffset), wave.Seconds()) +
           ", \"unfinished\": " + (wave.unfinished.empty() ? "false" : "true") +
           ", \"warnings\": " + JsonArray(warnings) + "}";
}

} // namespace

// Every file is reported, in order; one that cannot be read or is malformed
// gets its failure line on standard error (and an "error" entry in JSON), and
// the first such failure gives the exit status.
int RunInfo(const Invocation& invocation) {
    int status = kSuccess;
    std::vector<std::string> entries;
    for (const std::string& path : invocation.infoFiles) {
        try {
            const WaveFile wave = InspectWave(path);
            entries.push_back(invocation.json ? JsonReport(path, wave) : Report(path, wave));
        } catch (const Failure& failure) {
            ReportFailure(failure.what(), failure.status());
            if (status == kSuccess)
                status = failure.status();
            if (invocation.json)
                entries.push_back("{\"file\": " + JsonString(path) +
                                  ", \"error\": " + JsonString(failure.what()) + "}");
        }
    }
    std::string results;
    if (invocation.json) {
        results = JsonArray(entries) + "\n";
    } else {
        for (const std::string& entry : entries)
            results += (results.empty() ? "" : "\n") + entry;
    }
    WriteResult(results);
    return status;
}

} // namespace cli
