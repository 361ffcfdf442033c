// SPDX-License-Identifier: MIT
// Keeps the library's log off kaldrix's standard output, which carries only
// its results (posix/LibraryLog.cpp, win32/LibraryLog.cpp). The library echoes
// each record on its host's standard output in GBK; kaldrix hands the library
// a pipe as standard output instead and keeps the real one for its results.
// --verbose shows the records on standard error, each on a line of its own
// beside the progress line, converted to the terminal's encoding on a
// terminal and passed on unchanged anywhere else; otherwise they are dropped.
#pragma once

#include <string>

namespace cli {

class LibraryLog {
public:
    explicit LibraryLog(bool shown);
    // Waits until everything the library has written so far is shown, then
    // leaves the pipe to the reader alone, so that the record of the
    // library's unload at process exit is dropped rather than mixed into the
    // results.
    ~LibraryLog();
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;
};

// kaldrix's results (the help, the version, info and devices) on its real
// standard output.
void WriteResult(const std::string& text);

} // namespace cli
