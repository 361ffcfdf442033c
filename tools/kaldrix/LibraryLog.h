// SPDX-License-Identifier: MIT
// Keeps the library's log off kaldrix's standard output, which carries only
// its results (posix/LibraryLog.cpp, win32/LibraryLog.cpp): the library is
// loaded with its echo off (KALDRIX_ECHO). --verbose shows the records on
// standard error instead, each on a line of its own beside the progress
// line, converted to the terminal's encoding on a terminal and passed on
// unchanged anywhere else: the library echoes them in GBK into a pipe that
// stands in for standard output, and the real one is kept for the results.
#pragma once

#include <string>

namespace cli {

class LibraryLog {
public:
    // Before the library is loaded.
    explicit LibraryLog(bool shown);
    // Waits until everything the library has written so far is shown; the
    // record of the library's unload at process exit then goes to standard
    // error directly.
    ~LibraryLog();
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;
};

// kaldrix's results (the help, the version, info and devices) on its real
// standard output.
void WriteResult(const std::string& text);

} // namespace cli
