// SPDX-License-Identifier: MIT
// The echo on standard output or standard error (descriptor 1 or 2, the
// record's target), written without ever blocking on it, and only while the
// descriptor is still the file it was at load (the same device and inode).
// Each record is written through a copy of the descriptor made for it, so
// that the file checked is the file written, whatever the host closes or
// opens meanwhile.
//
// The descriptor is the host's, and so are its flags: the echo never changes
// them. A pipe, a FIFO or a terminal is written through a description of its
// own, opened through /proc without blocking, so that a full pipe or a
// stopped terminal costs a poll with a time-out instead of a write that
// never returns; a socket is written with MSG_DONTWAIT. A regular file or a
// device such as /dev/null takes every write at once and is written as it
// is. SIGPIPE never reaches the host: the echo thread blocks every signal,
// and a write from a forked child's own thread holds SIGPIPE back around it.
#include "platform/platform.h"
#include "platform/posix/Descriptors.h"
#include "platform/posix/Immortal.h"
#include "platform/posix/StandardOutput.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kQueueLength = 64;
constexpr int kWriteLimitMs = 100; // for one record, before it is dropped
constexpr auto kStopDrain = std::chrono::milliseconds(300);

struct Record {
    char text[kEchoRecordBytes];
    size_t length;
    int descriptor;
};

struct Echo {
    std::mutex mutex;
    std::condition_variable changed;
    Record queue[kQueueLength];
    unsigned long long queued = 0;  // tickets handed out
    unsigned long long done = 0;    // written or dropped
    unsigned long long dropped = 0; // since the last notice
    // A record could not be echoed within kEchoWaitMs: callers go on without
    // waiting until the echo has written again.
    bool stalled = false;
    bool running = false;
    bool stopping = false;
    bool stopped = false;
    std::chrono::steady_clock::time_point drainUntil;
    pthread_t thread{};
};

// The file each target was at load; atomic, as a test may open the log
// again while records are written.
struct LoadedTarget {
    std::atomic<bool> open{false};
    std::atomic<dev_t> device{0};
    std::atomic<ino_t> inode{0};
};
LoadedTarget g_loaded[2]; // descriptors 1 and 2

bool IsLoadedTarget(int descriptor, const struct stat& now) {
    const LoadedTarget& loaded = g_loaded[descriptor - STDOUT_FILENO];
    return loaded.open.load(std::memory_order_relaxed) &&
           loaded.device.load(std::memory_order_relaxed) == now.st_dev &&
           loaded.inode.load(std::memory_order_relaxed) == now.st_ino;
}

// In a forked child: the parent's echo thread is not there, the parent's
// threads may have held the queue's lock, and a thread started there is
// more than some tools allow. Each caller writes its own record, after it
// has let go of the log's lock.
std::atomic<bool> g_writeHere{false};
constexpr unsigned long long kWriteHere = ~0ull;

// Built on first use and never destroyed, like the layer's tables.
Echo& State() {
    static Echo* echo = MakeImmortal<Echo>();
    return *echo;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Writes all of `data` to `fd` before `deadline`, waiting for room with
// poll(); false when it cannot.
bool WriteBefore(int fd, bool socket, const char* data, size_t size,
                 std::chrono::steady_clock::time_point deadline) {
    while (size > 0) {
        const ssize_t written =
            socket ? ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        pollfd room{fd, POLLOUT, 0};
        const int wait = RemainingMs(deadline);
        if (wait == 0 || ::poll(&room, 1, wait) <= 0 || !(room.revents & POLLOUT))
            return false;
    }
    return true;
}

// One record to `descriptor`, a copy of the target that is the file
// `target` describes.
bool WriteToFile(int descriptor, const struct stat& target, const char* data, size_t size) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteLimitMs);
    if (S_ISSOCK(target.st_mode))
        return WriteBefore(descriptor, true, data, size, deadline);
    if (S_ISREG(target.st_mode) || (S_ISCHR(target.st_mode) && !::isatty(descriptor)))
        return WriteBefore(descriptor, false, data, size, deadline);
    // A pipe or FIFO without a reader refuses the open (ENXIO): nobody would
    // read the record.
    char ownPath[32];
    std::snprintf(ownPath, sizeof ownPath, "/proc/self/fd/%d", descriptor);
    const int own =
        AboveStandardStreams(::open(ownPath, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (own >= 0) {
        const bool written = WriteBefore(own, false, data, size, deadline);
        ::close(own);
        return written;
    }
    if (errno != ENOENT && errno != EACCES)
        return false;
    // Without /proc: wait for room first; a record is shorter than PIPE_BUF,
    // so a pipe with room takes it whole without blocking.
    pollfd room{descriptor, POLLOUT, 0};
    if (::poll(&room, 1, kWriteLimitMs) <= 0 || !(room.revents & POLLOUT))
        return false;
    return WriteBefore(descriptor, false, data, size, deadline);
}

// One record to the target, while it is the file it was at load.
bool WriteToDescriptor(int descriptor, const char* data, size_t size) {
    const int copy = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (copy < 0)
        return false;
    struct stat target {};
    const bool written = ::fstat(copy, &target) == 0 && IsLoadedTarget(descriptor, target) &&
                         WriteToFile(copy, target, data, size);
    ::close(copy);
    return written;
}

// A write to a pipe whose reader has gone raises SIGPIPE on the writing
// thread. With SIGPIPE blocked it stays pending there; one that the write
// raised is taken back, so the host never sees it.
bool WriteHoldingBackSigpipe(int descriptor, const char* data, size_t size) {
    sigset_t sigpipe, previous, pending;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe, &previous);
    sigpending(&pending);
    const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    const bool written = WriteToDescriptor(descriptor, data, size);
    if (!written && !pendingBefore) {
        const timespec none{0, 0};
        sigtimedwait(&sigpipe, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

void WriteNotice(int descriptor, unsigned long long dropped) {
    char notice[80];
    const int length =
        std::snprintf(notice, sizeof notice, "KALDRIX: %llu log records not echoed\n", dropped);
    WriteHoldingBackSigpipe(descriptor, notice, static_cast<size_t>(length));
}

void* RunEcho(void*) {
    pthread_setname_np(pthread_self(), "kx-echo");
    Echo& echo = State();
    Record record;
    std::unique_lock<std::mutex> lock(echo.mutex);
    for (;;) {
        echo.changed.wait(lock, [&echo] { return echo.done < echo.queued || echo.stopping; });
        if (echo.done == echo.queued)
            break;
        record = echo.queue[echo.done % kQueueLength];
        const bool draining = !echo.stopping || std::chrono::steady_clock::now() < echo.drainUntil;
        const unsigned long long dropped = echo.dropped;
        lock.unlock();
        bool written = false;
        if (draining) {
            if (dropped > 0)
                WriteNotice(record.descriptor, dropped);
            written = WriteHoldingBackSigpipe(record.descriptor, record.text, record.length);
        }
        lock.lock();
        if (written)
            echo.dropped -= dropped;
        else
            ++echo.dropped;
        echo.stalled = !written;
        ++echo.done;
        echo.changed.notify_all();
    }
    return nullptr;
}

// The echo thread starts with every signal blocked: no signal meant for the
// host is ever delivered to it.
bool StartEcho(Echo& echo) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const bool started = pthread_create(&echo.thread, nullptr, RunEcho, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

Record MakeRecord(EchoTarget target, const char* text) {
    Record record;
    const size_t length = std::min(std::strlen(text), kEchoRecordBytes - 1);
    std::memcpy(record.text, text, length);
    record.text[length] = '\n';
    record.length = length + 1;
    record.descriptor = target == EchoTarget::standardError ? STDERR_FILENO : STDOUT_FILENO;
    return record;
}

} // namespace

unsigned long long QueueEcho(EchoTarget target, const char* text) {
    if (g_writeHere.load(std::memory_order_relaxed))
        return kWriteHere;
    Echo& echo = State();
    std::lock_guard<std::mutex> lock(echo.mutex);
    if (echo.stopped)
        return 0;
    if (!echo.running)
        echo.running = StartEcho(echo);
    if (!echo.running || echo.queued - echo.done == kQueueLength) {
        ++echo.dropped;
        return 0;
    }
    echo.queue[echo.queued % kQueueLength] = MakeRecord(target, text);
    echo.changed.notify_all();
    return ++echo.queued;
}

void RememberEchoTargets() {
    for (int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat file {};
        const bool open = ::fstat(descriptor, &file) == 0;
        LoadedTarget& loaded = g_loaded[descriptor - STDOUT_FILENO];
        loaded.device.store(file.st_dev, std::memory_order_relaxed);
        loaded.inode.store(file.st_ino, std::memory_order_relaxed);
        loaded.open.store(open, std::memory_order_relaxed);
    }
}

void AwaitEcho(EchoTarget target, unsigned long long ticket, const char* text) {
    if (ticket == kWriteHere) {
        const Record record = MakeRecord(target, text);
        WriteHoldingBackSigpipe(record.descriptor, record.text, record.length);
        return;
    }
    if (ticket == 0)
        return;
    Echo& echo = State();
    std::unique_lock<std::mutex> lock(echo.mutex);
    if (!echo.stalled && !echo.changed.wait_for(lock, std::chrono::milliseconds(kEchoWaitMs),
                                                [&echo, ticket] { return echo.done >= ticket; }))
        echo.stalled = true;
}

void StopStandardOutputEcho() {
    // A forked child's copy of the state names the parent's thread.
    if (g_writeHere.load(std::memory_order_relaxed))
        return;
    Echo& echo = State();
    std::unique_lock<std::mutex> lock(echo.mutex);
    echo.stopped = true;
    if (!echo.running)
        return;
    echo.stopping = true;
    echo.drainUntil = std::chrono::steady_clock::now() + kStopDrain;
    echo.changed.notify_all();
    lock.unlock();
    // Each record takes at most kWriteLimitMs, and none is tried past the
    // drain's end: the join is bounded.
    pthread_join(echo.thread, nullptr);
    lock.lock();
    echo.running = false;
}

void EchoFromCallersInForkedChild() { g_writeHere.store(true, std::memory_order_relaxed); }
