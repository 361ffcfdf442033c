// SPDX-License-Identifier: MIT
#include "log/LogFile.h"

#include <cstdarg>
#include <string>

namespace {
// The log is written only while this file exists in the log folder.
constexpr char kMarkerName[] = "tracelog.is";
} // namespace

CLogFile::CLogFile() { InitializeCriticalSection(&m_lock); }

// The lock is never deleted: at exit() another host thread may still be
// writing a record.
CLogFile::~CLogFile() { Close(); }

int CLogFile::Open() {
    // The marker is opened for update so that it must exist and be writable;
    // its content is never read.
    FILE* marker = std::fopen((LogFolder() + kMarkerName).c_str(), "r+c");
    if (!marker)
        return 0;
    std::fclose(marker);

    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[64];
    std::snprintf(name, sizeof name, "KALDRIX%d%d%d.log", now.wYear, now.wMonth, now.wDay);
    FILE* file = OpenLogForAppend(LogFolder() + name);
    if (!file)
        return 0;

    EnterCriticalSection(&m_lock);
    m_file = file;
    std::fputs("\n============================================", m_file);
    LeaveCriticalSection(&m_lock);
    return 1;
}

void CLogFile::Write(const char* format, ...) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[kBufferSize];
    std::snprintf(stamp, sizeof stamp, "%d-%d-%d %d:%d:%d", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);

    // Formatted before the lock is taken, so a fault while formatting never
    // leaves the lock held.
    char message[kBufferSize];
    va_list args;
    va_start(args, format);
    _vsnprintf(message, sizeof message, format, args);
    va_end(args);
    message[kBufferSize - 1] = '\0';

    WriteRecord(stamp, message);
}

bool CLogFile::Lock() {
    if (m_processExiting.load(std::memory_order_relaxed))
        return TryEnterCriticalSection(&m_lock) != FALSE;
    EnterCriticalSection(&m_lock);
    return true;
}

// The echo is queued under the lock, so that it keeps the file's order, and
// waited for outside it: nothing writes to standard output under a lock of
// the library's.
void CLogFile::WriteRecord(const char* stamp, const char* message) {
    if (!Lock())
        return;
    if (m_file) {
        std::fprintf(m_file, "\n%s:", stamp);
        std::fputs(message, m_file);
        // One flush per whole record: a host that dies keeps every record
        // written so far, and processes sharing the day's file never
        // interleave inside one.
        std::fflush(m_file);
    }
    const unsigned long long echo = QueueEcho(message);
    LeaveCriticalSection(&m_lock);
    AwaitEcho(echo, message);
}

int CLogFile::Close() {
    if (!Lock())
        return 1;
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    LeaveCriticalSection(&m_lock);
    return 1;
}
