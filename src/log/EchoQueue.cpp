// SPDX-License-Identifier: MIT
// The echo's queue: records in order, the tickets their callers wait for,
// the stall, the count of records not echoed and its notice, and the drain
// at the library's unload. The platform writes to the target and starts and
// ends the thread (platform/StandardOutput.h).
//
// The state is static and constant-initialized: a load allocates nothing for
// it, and nothing of it is ever destroyed, as an echo thread may outlive the
// static objects.
#include "log/EchoQueue.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kQueueLength = 64;
// At the unload, what is still queued gets this long at most; later records
// are dropped without a try.
constexpr DWORD kStopDrainMs = 300;
// The ticket of a record that its caller writes.
constexpr unsigned long long kCallerWrites = ~0ull;

struct Record {
    char text[kEchoRecordBytes];
    size_t length;
    EchoTarget target;
};

struct Echo {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    Record queue[kQueueLength] = {};
    unsigned long long queued = 0; // tickets handed out
    unsigned long long done = 0;   // written or dropped
    // Since the last notice; counted without the lock too, by a record
    // dropped inside the loader.
    std::atomic<unsigned long long> dropped{0};
    bool running = false;     // an echo thread exists (it may be stuck in a write)
    bool threadReady = false; // it has begun to run
    // A record could not be echoed within kEchoWaitMs: callers go on without
    // waiting until the echo has written again.
    bool stalled = false;
    bool stopping = false; // the unload drains the queue
    bool stopped = false;  // after the unload: records are dropped
    DWORD drainBegun = 0;
};

Echo g_echo;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&g_echo.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_echo.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

Record MakeRecord(EchoTarget target, const char* text) {
    Record record;
    const size_t length = std::min(std::strlen(text), kEchoRecordBytes - 1);
    std::memcpy(record.text, text, length);
    record.text[length] = '\n';
    record.length = length + 1;
    record.target = target;
    return record;
}

// The notice of records dropped before it, if any, then the record, in one
// write; false when the record was not written whole.
bool Write(const Record& record, unsigned long long dropped) {
    char out[kEchoWriteBytes];
    size_t length = 0;
    if (dropped > 0)
        length =
            static_cast<size_t>(std::snprintf(out, kEchoWriteBytes - kEchoRecordBytes,
                                              "KALDRIX: %llu log records not echoed\n", dropped));
    std::memcpy(out + length, record.text, record.length);
    return WriteToEchoTarget(record.target, out, length + record.length);
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

void RunEcho() {
    const EchoThreadRules rules = EchoThreadRulesOfPlatform();
    {
        Locked lock;
        g_echo.threadReady = true;
        WakeAllConditionVariable(&g_echo.changed);
    }
    for (;;) {
        Record record;
        unsigned long long dropped;
        bool draining;
        {
            Locked lock;
            while (rules.waitsForRecords && g_echo.done == g_echo.queued && !g_echo.stopping)
                SleepConditionVariableSRW(&g_echo.changed, &g_echo.lock, INFINITE, 0);
            if (g_echo.done == g_echo.queued) {
                g_echo.running = false;
                break;
            }
            record = g_echo.queue[g_echo.done % kQueueLength];
            draining = !g_echo.stopping || GetTickCount() - g_echo.drainBegun < kStopDrainMs;
            dropped = g_echo.dropped.exchange(0);
        }
        const bool written = draining && Write(record, dropped);
        Locked lock;
        if (!written)
            g_echo.dropped += dropped + 1;
        ++g_echo.done;
        g_echo.stalled = rules.failedWriteStalls && !written;
        WakeAllConditionVariable(&g_echo.changed);
    }
}

// Each record takes as long as one write at most, and none is tried past the
// drain's end: where the unload waits for the thread, the wait is bounded.
bool StopEcho() {
    Locked lock;
    g_echo.stopped = true;
    if (!g_echo.running)
        return false;
    g_echo.stopping = true;
    g_echo.drainBegun = GetTickCount();
    WakeAllConditionVariable(&g_echo.changed);
    return true;
}

// Inside the loader the record goes out at once from the calling thread,
// unless an echo thread holds the target or another thread the lock.
void WriteInsideLoader(EchoTarget target, const char* text) {
    if (!TryAcquireSRWLockExclusive(&g_echo.lock)) {
        ++g_echo.dropped;
        return;
    }
    const bool echoRunning = g_echo.running;
    ReleaseSRWLockExclusive(&g_echo.lock);
    if (echoRunning)
        ++g_echo.dropped;
    else
        Write(MakeRecord(target, text), g_echo.dropped.exchange(0));
}

} // namespace

unsigned long long QueueEcho(EchoTarget target, const char* text) {
    switch (EchoWriterNow()) {
    case EchoWriter::caller:
        return kCallerWrites;
    case EchoWriter::callerInsideLoader:
        WriteInsideLoader(target, text);
        return 0;
    case EchoWriter::echoThread:
        break;
    }
    Locked lock;
    if (g_echo.stopped)
        return 0;
    if (g_echo.queued - g_echo.done == kQueueLength) {
        ++g_echo.dropped;
        return 0;
    }
    if (!g_echo.running) {
        g_echo.threadReady = false;
        g_echo.running = StartEchoThread(RunEcho, StopEcho);
        if (!g_echo.running) {
            ++g_echo.dropped;
            return 0;
        }
    }
    g_echo.queue[g_echo.queued % kQueueLength] = MakeRecord(target, text);
    WakeAllConditionVariable(&g_echo.changed);
    return ++g_echo.queued;
}

void AwaitEcho(EchoTarget target, unsigned long long ticket, const char* text) {
    if (ticket == kCallerWrites) {
        const Record record = MakeRecord(target, text);
        WriteToEchoTarget(record.target, record.text, record.length);
        return;
    }
    if (ticket == 0)
        return;
    Locked lock;
    if (g_echo.stalled)
        return;
    WaitFor(EchoThreadRulesOfPlatform().startWaitMs,
            [] { return g_echo.threadReady || !g_echo.running; });
    if (!WaitFor(kEchoWaitMs, [ticket] { return g_echo.done >= ticket; }))
        g_echo.stalled = true;
}
