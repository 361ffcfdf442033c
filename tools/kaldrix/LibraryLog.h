// The library's log on the host's standard output (LibraryLogPosix.cpp,
// LibraryLogWin32.cpp). The library echoes each record there in GBK. On a
// terminal the host takes the records in through a pipe, converts them to
// the terminal's encoding where that is not GBK, and writes each one on a
// line of its own beside the progress line; anywhere else the library's
// bytes pass unchanged. --quiet drops them.
#pragma once

namespace cli {

class LibraryLog {
public:
    explicit LibraryLog(bool quiet);
    // Waits until everything the library has written so far is shown, then
    // gives standard output back to the library, so that the record of its
    // unload at process exit still appears (or, quiet, goes nowhere).
    ~LibraryLog();
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;

    // kaldrix's own standard output (the help, the version): never hidden
    // and never converted.
    static void WriteOwn(const char* text);
};

} // namespace cli
