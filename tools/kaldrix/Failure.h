// SPDX-License-Identifier: MIT
// The program's exit statuses and the failure that carries one out of a
// command. Every failure has a status of its own, so that a script can tell a
// missing file from a malformed one or from a device that cannot be opened,
// although the library answers -1 to all three.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

namespace cli {

enum ExitStatus : int {
    kSuccess = 0,
    kFailed = 1,           // the library failed in a way the host cannot name more closely
    kUsage = 2,            // the command line is wrong
    kInputUnreadable = 3,  // the input file is missing or cannot be read
    kMalformed = 4,        // the input file is not a WAVE file the player can open
    kNoDevice = 5,         // no audio device could be opened
    kCannotCreate = 6,     // the output file cannot be created
    kNoLibrary = 7,        // the library cannot be loaded
    kFormatRefused = 8,    // the playback device refuses the file's format
    kResultsUnwritten = 9, // standard output did not take the results
    kInterrupted = 130,    // playback stopped by Ctrl-C (the shell's value for SIGINT)
};

// Ends a command: main prints the message as one line on standard error and
// exits with the status.
class Failure : public std::runtime_error {
public:
    Failure(ExitStatus status, const std::string& message)
        : std::runtime_error(message), m_status(status) {}
    ExitStatus status() const { return m_status; }

private:
    ExitStatus m_status;
};

// The one line on standard error that ends a command, or one file of several.
inline int ReportFailure(const char* message, int status) {
    std::fprintf(stderr, "kaldrix: %s\n", message);
    return status;
}

} // namespace cli
