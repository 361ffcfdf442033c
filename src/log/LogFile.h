// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdio>

// The library's trace log. Logging to a file is on only when the marker file
// exists at Open; every message is echoed either way, on standard output
// unless KALDRIX_ECHO, read at Open, says otherwise.
class CLogFile {
public:
    CLogFile();
    virtual ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // 1 when the day's log file is now open, else 0.
    int Open();
    // Formats a message printf-style (cut at 255 bytes) and writes one record.
    void Write(const char* format, ...);
    // Always 1.
    int Close();

    // From now on a record is skipped rather than waited for when another
    // thread holds the log: at process exit that thread may be gone for good.
    void SetProcessExiting() { m_processExiting.store(true, std::memory_order_relaxed); }
    // The lock every record is written under.
    CRITICAL_SECTION& RecordLock() { return m_lock; }
    // From now on only the echo goes on: the day's file belongs to another
    // process, whose copy of the stream this is.
    void LeaveFileToOthers() { m_file = nullptr; }

    static constexpr size_t kBufferSize = 256;
    // A message's echo converted to UTF-8: half as long again, and room for
    // what the host passed in.
    static constexpr size_t kEchoBufferSize = 512;

private:
    void ChooseEcho();
    // False only at process exit, when another thread holds the lock.
    bool Lock();
    void WriteRecord(const char* stamp, const char* message, const char* echo);

    FILE* m_file = nullptr;
    CRITICAL_SECTION m_lock;
    std::atomic<bool> m_processExiting{false};
    // Atomic: a test may open the log again while library threads write.
    std::atomic<bool> m_echoOff{false};
    std::atomic<EchoTarget> m_echoTarget{EchoTarget::standardOutput};
    std::atomic<bool> m_echoUtf8{false};
};

// The library's one trace log, defined with the other global objects in
// frame/Globals.cpp. Every room reports through it, and only through it.
extern CLogFile g_Log;
