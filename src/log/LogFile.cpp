// SPDX-License-Identifier: MIT
#include "log/EchoQueue.h"
#include "log/LogFile.h"
#include "log/LogText.h"

#include <cstdarg>
#include <cstring>
#include <string>

namespace {
// The log is written only while this file exists in the log folder.
constexpr char kMarkerName[] = "tracelog.is";

// A setting of the environment as the process has it now; unset and empty
// are the same, and a value longer than any known one is unknown.
std::string Setting(const char* name) {
    char value[16];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length < sizeof value ? std::string(value, length) : "unknown";
}

// A text cut inside a UTF-8 character loses the character's start too.
void DropCutCharacter(char* text) {
    const size_t end = std::strlen(text);
    size_t lead = end;
    while (lead > 0 && end - lead < 3 &&
           (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead == 0)
        return;
    const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    if (length > end - (lead - 1))
        text[lead - 1] = '\0';
}
} // namespace

CLogFile::CLogFile() { InitializeCriticalSection(&m_lock); }

// The lock is never deleted: at exit() another host thread may still be
// writing a record.
CLogFile::~CLogFile() { Close(); }

// KALDRIX_ECHO (stdout, stderr, off) and KALDRIX_ECHO_ENCODING (gbk,
// utf-8), read once as the library loads. An unknown value is taken as the
// default and said so on the echo only, in ASCII; the day's file never
// sees either setting.
void CLogFile::ChooseEcho() {
    RememberEchoTargets();
    const std::string target = Setting("KALDRIX_ECHO");
    const std::string encoding = Setting("KALDRIX_ECHO_ENCODING");
    m_echoOff = target == "off";
    m_echoTarget = target == "stderr" ? EchoTarget::standardError : EchoTarget::standardOutput;
    m_echoUtf8 = encoding == "utf-8";
    if (!target.empty() && target != "stdout" && target != "stderr" && !m_echoOff)
        WriteRecord(nullptr, nullptr, "KALDRIX: unknown KALDRIX_ECHO value, echoing on stdout");
    if (!encoding.empty() && encoding != "gbk" && !m_echoUtf8)
        WriteRecord(nullptr, nullptr, "KALDRIX: unknown KALDRIX_ECHO_ENCODING value, echoing GBK");
}

int CLogFile::Open() {
    const CCancellationHold noCancellation;
    ChooseEcho();
    // The marker is opened for update so that it must exist and be writable;
    // its content is never read.
    if (!LogMarkerPresent(LogFolder() + kMarkerName))
        return 0;

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
    va_list again;
    va_copy(again, args);
    _vsnprintf(message, sizeof message, format, args);
    message[kBufferSize - 1] = '\0';
    // A UTF-8 echo converts the library's own text only: what the host
    // passed in, such as a file name, goes out as the bytes it gave.
    const char* const utf8 = m_echoUtf8 ? LogText::InUtf8(format) : format;
    char converted[kEchoBufferSize];
    if (utf8 != format) {
        const int length = _vsnprintf(converted, sizeof converted, utf8, again);
        if (length < 0 || length >= static_cast<int>(sizeof converted)) {
            converted[sizeof converted - 1] = '\0';
            DropCutCharacter(converted);
        }
    }
    va_end(again);
    va_end(args);

    WriteRecord(stamp, message, utf8 != format ? converted : message);
}

bool CLogFile::Lock() {
    if (m_processExiting.load(std::memory_order_relaxed))
        return TryEnterCriticalSection(&m_lock) != FALSE;
    EnterCriticalSection(&m_lock);
    return true;
}

// The echo is queued under the lock, so that it keeps the file's order, and
// waited for outside it: nothing writes to standard output under a lock of
// the library's. Without a message only the echo is written. A host thread
// may write outside any call of the library's ("Log Started" inside its
// dlopen): its cancellation is held off here too, or one that landed in the
// flush would leave the lock taken for good.
void CLogFile::WriteRecord(const char* stamp, const char* message, const char* echo) {
    const CCancellationHold noCancellation;
    if (!Lock())
        return;
    if (m_file && message) {
        std::fprintf(m_file, "\n%s:", stamp);
        std::fputs(message, m_file);
        // One flush per whole record: a host that dies keeps every record
        // written so far, and processes sharing the day's file never
        // interleave inside one.
        std::fflush(m_file);
    }
    if (m_echoOff) {
        LeaveCriticalSection(&m_lock);
        return;
    }
    const EchoTarget target = m_echoTarget;
    const unsigned long long ticket = QueueEcho(target, echo);
    LeaveCriticalSection(&m_lock);
    AwaitEcho(target, ticket, echo);
}

int CLogFile::Close() {
    const CCancellationHold noCancellation;
    if (!Lock())
        return 1;
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    LeaveCriticalSection(&m_lock);
    return 1;
}
