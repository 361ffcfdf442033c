// SPDX-License-Identifier: MIT
// The echo on standard output for Windows. A write to a console or a pipe
// cannot be bounded without changing the host's handle, so the echo thread
// may block in it for as long as the reader wants; it holds a reference on
// the library while it runs and leaves through FreeLibraryAndExitThread, so
// a FreeLibrary never unmaps code under it. It ends whenever the queue is
// empty. Inside DllMain no thread can start and nothing may wait: records
// written there go out directly, or are dropped while an echo is stuck.
#include "platform/platform.h"
#include "platform/win32/StandardOutput.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kQueueLength = 64;
constexpr size_t kRecordBytes = 300;
// A new thread can take a while to run on a busy machine; that is no wait on
// standard output, which is what kEchoWaitMs bounds.
constexpr DWORD kThreadStartWaitMs = 2000;

struct Record {
    char text[kRecordBytes];
};

struct Echo {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
    Record queue[kQueueLength];
    unsigned long long queued = 0;
    unsigned long long done = 0;
    unsigned long long dropped = 0;
    bool running = false; // an echo thread exists (it may be stuck in a write)
    bool threadReady = false; // it has begun to run
    bool insideLoader = false;
};

// Never destroyed: an echo thread may outlive the static objects.
Echo& State() {
    static Echo* echo = [] {
        auto* created = new Echo;
        InitializeCriticalSection(&created->lock);
        InitializeConditionVariable(&created->changed);
        return created;
    }();
    return *echo;
}

void Write(const char* text, unsigned long long dropped) {
    if (dropped > 0)
        std::fprintf(stdout, "KALDRIX: %llu log records not echoed\n", dropped);
    std::fputs(text, stdout);
}

DWORD WINAPI RunEcho(LPVOID module) {
    NameCurrentThread("kx-echo");
    Echo& echo = State();
    EnterCriticalSection(&echo.lock);
    echo.threadReady = true;
    WakeAllConditionVariable(&echo.changed);
    LeaveCriticalSection(&echo.lock);
    for (;;) {
        EnterCriticalSection(&echo.lock);
        if (echo.done == echo.queued) {
            echo.running = false;
            LeaveCriticalSection(&echo.lock);
            return ExitLibraryThread(module, 0);
        }
        const Record record = echo.queue[echo.done % kQueueLength];
        const unsigned long long dropped = echo.dropped;
        echo.dropped = 0;
        LeaveCriticalSection(&echo.lock);
        Write(record.text, dropped);
        EnterCriticalSection(&echo.lock);
        ++echo.done;
        WakeAllConditionVariable(&echo.changed);
        LeaveCriticalSection(&echo.lock);
    }
}

Record MakeRecord(const char* text) {
    Record record;
    const size_t length = std::min(std::strlen(text), kRecordBytes - 2);
    std::memcpy(record.text, text, length);
    record.text[length] = '\n';
    record.text[length + 1] = '\0';
    return record;
}

} // namespace

unsigned long long QueueEcho(const char* text) {
    Echo& echo = State();
    EnterCriticalSection(&echo.lock);
    if (echo.insideLoader) {
        // No thread starts before the loader lets go, and none may be
        // waited for: out at once, unless an echo thread holds stdout.
        const bool stuck = echo.running;
        const unsigned long long dropped = echo.dropped;
        echo.dropped = stuck ? dropped + 1 : 0;
        LeaveCriticalSection(&echo.lock);
        if (!stuck)
            Write(MakeRecord(text).text, dropped);
        return 0;
    }
    if (echo.queued - echo.done == kQueueLength) {
        ++echo.dropped;
        LeaveCriticalSection(&echo.lock);
        return 0;
    }
    if (!echo.running) {
        void* module = AcquireModuleReference();
        HANDLE thread = CreateThread(nullptr, 0, RunEcho, module, 0, nullptr);
        if (!thread) {
            ReleaseModuleReference(module);
            ++echo.dropped;
            LeaveCriticalSection(&echo.lock);
            return 0;
        }
        CloseHandle(thread);
        echo.running = true;
        echo.threadReady = false;
    }
    echo.queue[echo.queued % kQueueLength] = MakeRecord(text);
    const unsigned long long ticket = ++echo.queued;
    LeaveCriticalSection(&echo.lock);
    return ticket;
}

// Waits for `ready` at most `limitMs`; true when it holds.
template <typename Ready> bool WaitFor(Echo& echo, DWORD limitMs, Ready ready) {
    const DWORD begun = GetTickCount();
    while (!ready()) {
        const DWORD waited = GetTickCount() - begun;
        if (waited >= limitMs ||
            !SleepConditionVariableCS(&echo.changed, &echo.lock, limitMs - waited))
            return ready();
    }
    return true;
}

void AwaitEcho(unsigned long long ticket, const char*) {
    if (ticket == 0)
        return;
    Echo& echo = State();
    EnterCriticalSection(&echo.lock);
    WaitFor(echo, kThreadStartWaitMs, [&echo] { return echo.threadReady || !echo.running; });
    WaitFor(echo, kEchoWaitMs, [&echo, ticket] { return echo.done >= ticket; });
    LeaveCriticalSection(&echo.lock);
}

void SetEchoInsideLoader(bool inside) {
    Echo& echo = State();
    EnterCriticalSection(&echo.lock);
    echo.insideLoader = inside;
    LeaveCriticalSection(&echo.lock);
}
