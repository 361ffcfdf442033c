// SPDX-License-Identifier: MIT
// The echo on standard output or standard error for Windows. Records go to
// the process's standard handle of their target with WriteFile, never
// through the runtime's streams: a write stuck on a pipe nobody reads then
// holds no lock of the runtime's, and the runtime's flush at exit never
// waits for it. Each "\n"
// goes out as CR LF, as the runtime's text mode writes it. A record goes
// only to the file its standard handle was at load: a handle the host closed
// since, whose value a file of the library's (a recording) may then hold, or
// one it set to another file, gets nothing, and the record counts as not
// echoed. Each record is written through a duplicate of the handle made for
// it, so that the file checked is the file written.
//
// A write to a console or a pipe cannot be bounded without changing the
// host's handle, so the echo thread may block in it for as long as the
// reader wants; it holds a reference on the library while it runs and leaves
// through FreeLibraryAndExitThread, so a FreeLibrary never unmaps code under
// it. It ends whenever the queue is empty. Inside DllMain no thread can start
// and nothing may wait: records written there go out directly, or are
// dropped while an echo is stuck. At a process exit another thread may have
// been killed holding the echo's lock, so there the lock is only tried, and
// a record that does not get it is dropped.
//
// The state is static and constant-initialized: a load allocates nothing
// for it, and nothing of it is ever destroyed, as an echo thread may outlive
// the static objects.
#include "platform/platform.h"
#include "platform/win32/StandardOutput.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kQueueLength = 64;
// A new thread can take a while to run on a busy machine; that is no wait on
// standard output, which is what kEchoWaitMs bounds.
constexpr DWORD kThreadStartWaitMs = 2000;

struct Record {
    char text[kEchoRecordBytes];
    size_t length;
    DWORD handle; // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE
};

struct Echo {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    Record queue[kQueueLength] = {};
    unsigned long long queued = 0;
    unsigned long long done = 0;
    // Counted without the lock too, by a record dropped inside the loader.
    std::atomic<unsigned long long> dropped{0};
    bool running = false;     // an echo thread exists (it may be stuck in a write)
    bool threadReady = false; // it has begun to run
    // A caller waited kEchoWaitMs in vain: callers go on without waiting
    // until a write has returned again.
    bool stalled = false;
    // Read and set without the lock, which the loader's thread only tries.
    std::atomic<bool> insideLoader{false};
};

Echo g_echo;

// What a handle is: its type, whether it is a console, and for a file the
// volume and index that name it. Two handles of one file are equal.
struct FileIdentity {
    bool open = false;
    DWORD type = FILE_TYPE_UNKNOWN;
    bool console = false;
    bool indexed = false;
    DWORD volume = 0, indexHigh = 0, indexLow = 0;

    bool operator==(const FileIdentity& other) const {
        return open == other.open && type == other.type && console == other.console &&
               indexed == other.indexed && volume == other.volume && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};

// The standard output's and standard error's files at load.
FileIdentity g_loaded[2];

FileIdentity& Loaded(DWORD standardHandle) {
    return g_loaded[standardHandle == STD_ERROR_HANDLE ? 1 : 0];
}

FileIdentity IdentityOf(HANDLE handle) {
    FileIdentity identity;
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return identity;
    SetLastError(NO_ERROR);
    identity.type = GetFileType(handle);
    if (identity.type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return identity; // not a handle of this process
    identity.open = true;
    DWORD mode = 0;
    identity.console = GetConsoleMode(handle, &mode) != FALSE;
    BY_HANDLE_FILE_INFORMATION information;
    identity.indexed = GetFileInformationByHandle(handle, &information) != FALSE;
    if (identity.indexed) {
        identity.volume = information.dwVolumeSerialNumber;
        identity.indexHigh = information.nFileIndexHigh;
        identity.indexLow = information.nFileIndexLow;
    }
    return identity;
}

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&g_echo.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_echo.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// Appends `text` to `out` with each "\n" as CR LF; returns the new end.
char* AppendWithCrLf(char* out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n')
            *out++ = '\r';
        *out++ = text[i];
    }
    return out;
}

// The notice of records dropped before it, if any, then the record, in one
// write to the record's standard handle, while it is the file it was at
// load; false when the record was not written whole.
bool Write(const Record& record, unsigned long long dropped) {
    char out[80 + 2 * kEchoRecordBytes];
    char* end = out;
    if (dropped > 0) {
        char notice[80];
        const int length =
            std::snprintf(notice, sizeof notice, "KALDRIX: %llu log records not echoed\n", dropped);
        end = AppendWithCrLf(end, notice, static_cast<size_t>(length));
    }
    end = AppendWithCrLf(end, record.text, record.length);
    const HANDLE target = GetStdHandle(record.handle);
    HANDLE copy = nullptr;
    if (!target || target == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), target, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    const char* next = out;
    if (IdentityOf(copy) == Loaded(record.handle)) {
        DWORD written = 1;
        while (next < end && written > 0 &&
               WriteFile(copy, next, static_cast<DWORD>(end - next), &written, nullptr))
            next += written;
    }
    CloseHandle(copy);
    return next == end;
}

DWORD WINAPI RunEcho(LPVOID module) {
    NameCurrentThread("kx-echo");
    {
        Locked lock;
        g_echo.threadReady = true;
        WakeAllConditionVariable(&g_echo.changed);
    }
    for (;;) {
        Record record;
        unsigned long long dropped;
        {
            Locked lock;
            if (g_echo.done == g_echo.queued) {
                g_echo.running = false;
                break;
            }
            record = g_echo.queue[g_echo.done % kQueueLength];
            dropped = g_echo.dropped.exchange(0);
        }
        const bool written = Write(record, dropped);
        Locked lock;
        if (!written)
            g_echo.dropped += dropped + 1;
        ++g_echo.done;
        g_echo.stalled = false;
        WakeAllConditionVariable(&g_echo.changed);
    }
    return ExitLibraryThread(module, 0);
}

Record MakeRecord(EchoTarget target, const char* text) {
    Record record;
    const size_t length = std::min(std::strlen(text), kEchoRecordBytes - 1);
    std::memcpy(record.text, text, length);
    record.text[length] = '\n';
    record.length = length + 1;
    record.handle = target == EchoTarget::standardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
    return record;
}

// Waits for `ready` at most `limitMs`, the lock held; true when it holds.
template <typename Ready> bool WaitFor(DWORD limitMs, Ready ready) {
    const DWORD begun = GetTickCount();
    while (!ready()) {
        const DWORD waited = GetTickCount() - begun;
        if (waited >= limitMs ||
            !SleepConditionVariableSRW(&g_echo.changed, &g_echo.lock, limitMs - waited, 0))
            return ready();
    }
    return true;
}

// Inside the loader no thread starts before the loader lets go, and none
// may be waited for: the record goes out at once from the calling thread,
// unless an echo thread holds standard output or another thread the lock
// (at a process exit it may have been killed holding it). False outside
// the loader.
bool WroteInsideLoader(EchoTarget target, const char* text) {
    if (!g_echo.insideLoader.load())
        return false;
    if (!TryAcquireSRWLockExclusive(&g_echo.lock)) {
        ++g_echo.dropped;
        return true;
    }
    const bool echoRunning = g_echo.running;
    ReleaseSRWLockExclusive(&g_echo.lock);
    if (echoRunning)
        ++g_echo.dropped;
    else
        Write(MakeRecord(target, text), g_echo.dropped.exchange(0));
    return true;
}

} // namespace

unsigned long long QueueEcho(EchoTarget target, const char* text) {
    if (WroteInsideLoader(target, text))
        return 0;
    Locked lock;
    if (g_echo.queued - g_echo.done == kQueueLength) {
        ++g_echo.dropped;
        return 0;
    }
    if (!g_echo.running) {
        void* module = AcquireModuleReference();
        HANDLE thread = CreateThread(nullptr, 0, RunEcho, module, 0, nullptr);
        if (!thread) {
            ReleaseModuleReference(module);
            ++g_echo.dropped;
            return 0;
        }
        CloseHandle(thread);
        g_echo.running = true;
        g_echo.threadReady = false;
    }
    g_echo.queue[g_echo.queued % kQueueLength] = MakeRecord(target, text);
    return ++g_echo.queued;
}

void AwaitEcho(EchoTarget, unsigned long long ticket, const char*) {
    if (ticket == 0)
        return;
    Locked lock;
    if (g_echo.stalled)
        return;
    WaitFor(kThreadStartWaitMs, [] { return g_echo.threadReady || !g_echo.running; });
    if (!WaitFor(kEchoWaitMs, [ticket] { return g_echo.done >= ticket; }))
        g_echo.stalled = true;
}

void RememberEchoTargets() {
    for (DWORD standardHandle : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        Loaded(standardHandle) = IdentityOf(GetStdHandle(standardHandle));
}

void SetEchoInsideLoader(bool inside) { g_echo.insideLoader.store(inside); }
