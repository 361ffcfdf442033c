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
    // Before the library is loaded. The library echoes only into the file
    // that standard output was when it loaded, so the pipe stays its target
    // to the last record: on Linux until the process's exit, after the
    // library's (the reader is joined then); on Windows, whose exit ends the
    // reader before the DLL's detach, the destructor lets an idle DLL go and
    // waits until its last record is shown.
    explicit LibraryLog(bool shown);
    ~LibraryLog();
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;
};

// kaldrix's results (the help, the version, info and devices) on its real
// standard output; a Failure (kResultsUnwritten) when it does not take them
// all.
void WriteResult(const std::string& text);

} // namespace cli
