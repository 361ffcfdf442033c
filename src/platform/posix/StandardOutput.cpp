// SPDX-License-Identifier: MIT
// The echo's writes on standard output or standard error (descriptor 1 or 2,
// the record's target), without ever blocking on it, and only while the
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
//
// The echo thread waits for records until the library is unloaded, which
// stops it and joins it: a thread left to finish on its own could still run
// code that dlclose unmaps.
#include "platform/platform.h"
#include "winapi/kernel/Descriptors.h"
#include "platform/posix/StandardOutput.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kWriteLimitMs = 100; // for one record, before it is dropped

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
std::atomic<bool> g_callersWrite{false};

// The echo thread, once started; `g_stop` is set after `g_thread`. None
// starts after the unload.
pthread_t g_thread{};
void (*g_run)() = nullptr;
std::atomic<bool (*)()> g_stop{nullptr};
std::atomic<bool> g_unloaded{false};

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

void* RunEchoThread(void*) {
    pthread_setname_np(pthread_self(), "kx-echo");
    g_run();
    return nullptr;
}

} // namespace

bool WriteToEchoTarget(EchoTarget target, const char* text, size_t size) {
    return WriteHoldingBackSigpipe(
        target == EchoTarget::standardError ? STDERR_FILENO : STDOUT_FILENO, text, size);
}

EchoWriter EchoWriterNow() {
    return g_callersWrite.load(std::memory_order_relaxed) ? EchoWriter::caller
                                                          : EchoWriter::echoThread;
}

EchoThreadRules EchoThreadRulesOfPlatform() {
    return {/*waitsForRecords=*/true, /*failedWriteStalls=*/true, /*startWaitMs=*/0};
}

// The echo thread starts with every signal blocked: no signal meant for the
// host is ever delivered to it.
bool StartEchoThread(void (*run)(), bool (*stop)()) {
    if (g_unloaded.load())
        return false;
    g_run = run;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const bool started = pthread_create(&g_thread, nullptr, RunEchoThread, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started)
        g_stop.store(stop, std::memory_order_release);
    return started;
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

void StopStandardOutputEcho() {
    // A forked child's copy of the state names the parent's thread.
    if (g_callersWrite.load(std::memory_order_relaxed))
        return;
    g_unloaded.store(true);
    bool (*const stop)() = g_stop.load(std::memory_order_acquire);
    if (stop && stop())
        pthread_join(g_thread, nullptr);
}

void EchoFromCallersInForkedChild() { g_callersWrite.store(true, std::memory_order_relaxed); }
