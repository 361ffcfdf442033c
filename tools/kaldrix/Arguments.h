// SPDX-License-Identifier: MIT
// The command line: one command and its files and options.
#pragma once

#include "wave/RecordingHeader.h"

#include <string>
#include <vector>

namespace cli {

// A recording may last at most 72 hours: the WAVE header's 32-bit sizes hold
// about 74 hours of 16000 bytes per second.
constexpr double kMaxRecordSeconds = 72.0 * 3600.0;

struct Invocation {
    enum class Command { Help, Version, Play, Record, Info, Duplex, Devices, Repair };
    Command command = Command::Help;
    std::string playFile;               // play, duplex
    std::string recordFile;             // record, duplex
    std::vector<std::string> infoFiles; // info: one or more; repair: one
    double seconds = 0.0;               // record: 0 records until stopped
    // record, duplex: the format of the recording; asked for with -r, -c
    // or -f (which a library without KxStartRecFileFormat cannot record).
    RecordingHeader::Format format = RecordingHeader::kDefaultFormat;
    bool formatAsked = false;
    std::string device; // play, record, duplex: -D NAME, an ALSA PCM; empty: none given
    bool json = false;  // info, devices: --json
    // What standard error shows besides the errors: --quiet nothing more,
    // by default kaldrix's progress and messages, --verbose the library's
    // log too.
    enum class Verbosity { Quiet, Normal, Verbose };
    Verbosity verbosity = Verbosity::Normal;
};

// Throws Failure(kUsage) with a one-line reason.
Invocation ParseArguments(int argc, const char* const* argv);

const char* UsageText();

} // namespace cli
