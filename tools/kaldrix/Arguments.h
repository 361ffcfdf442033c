// The command line: one command and its files and options.
#pragma once

#include <string>

namespace cli {

// A recording may last at most 72 hours: the WAVE header's 32-bit sizes hold
// about 74 hours of 16000 bytes per second.
constexpr double kMaxRecordSeconds = 72.0 * 3600.0;

struct Invocation {
    enum class Command { Help, Version, Play, Record, Info, Duplex, Devices, Repair };
    Command command = Command::Help;
    std::string playFile;   // play, duplex
    std::string recordFile; // record, duplex
    std::string infoFile;   // info, repair
    double seconds = 0.0;   // record: 0 records until stopped
    bool quiet = false;     // --quiet: the library's log is not shown
};

// Throws Failure(kUsage) with a one-line reason.
Invocation ParseArguments(int argc, const char* const* argv);

const char* UsageText();

} // namespace cli
