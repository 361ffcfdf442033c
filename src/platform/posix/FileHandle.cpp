// SPDX-License-Identifier: MIT
// CFile's system calls over a file descriptor.
#include "platform/FileHandle.h"
#include "platform/File.h"
#include "platform/posix/Descriptors.h"
#include "platform/posix/FaultInjection.h"
#include "platform/posix/Immortal.h"
#include "platform/posix/testing/TestInterface.h"
#include "platform/posix/ThreadState.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <poll.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A write that a test holds on a layer thread (see kxtest::HoldNextFileWrite).
struct WriteHold {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool holding = false;
};

// Built on first use and never destroyed, so it outlives every static object.
WriteHold& Hold() {
    static WriteHold* hold = MakeImmortal<WriteHold>();
    return *hold;
}

} // namespace

namespace kxtest {

void HoldNextFileWrite() {
    WriteHold& hold = Hold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.armed = true;
}

bool WaitForHeldFileWrite(DWORD milliseconds) {
    WriteHold& hold = Hold();
    std::unique_lock<std::mutex> lock(hold.mutex);
    return hold.changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [&hold] { return hold.holding; });
}

void ReleaseFileWrite() {
    WriteHold& hold = Hold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.armed = false;
    hold.holding = false;
    hold.changed.notify_all();
}

} // namespace kxtest

namespace system_file {

OperationScope::OperationScope() { ParkIfTerminated(); }

OperationScope::~OperationScope() { ParkIfTerminated(); }

const long kBadPathError = ENOENT;
const long kNotOpenError = EBADF;
const long kDiskFullError = ENOSPC;

namespace {
constexpr unsigned kWriteRoomWaitMs = 2000;
}

intptr_t Open(const char* fileName, Access access, bool, Creation creation) {
    int flags = O_CLOEXEC;
    switch (access) {
    case Access::write:
        flags |= O_WRONLY;
        break;
    case Access::readWrite:
        flags |= O_RDWR;
        break;
    case Access::read:
        flags |= O_RDONLY;
        break;
    }
    if (creation == Creation::openAlways)
        flags |= O_CREAT;
    else if (creation == Creation::createAlways)
        flags |= O_CREAT | O_TRUNC;
    // Without blocking, so that a FIFO with no reader fails at once instead
    // of waiting for one, and a write never waits without end (see Write).
    const int fd = AboveStandardStreams(::open(fileName, flags | O_NONBLOCK, 0666));
    return fd < 0 ? kInvalid : fd;
}

// A regular file takes every write at once. A FIFO, a socket or a terminal
// whose reader holds back gets kWriteRoomWaitMs to make room; then the write
// fails, so that no thread of the library is ever blocked in it for good
// (an unload waits for the capture thread's last write).
bool Write(intptr_t file, const void* data, unsigned count, unsigned* written) {
    const int fd = static_cast<int>(file);
    for (;;) {
        const ssize_t done = ::write(fd, data, count);
        if (done >= 0) {
            *written = static_cast<unsigned>(done);
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd room{fd, POLLOUT, 0};
        int ready;
        do
            ready = ::poll(&room, 1, static_cast<int>(kWriteRoomWaitMs));
        while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            errno = EAGAIN;
            return false;
        }
    }
}

bool WriteAt(intptr_t file, uint64_t offset, const void* data, unsigned count, unsigned* written) {
    const char* next = static_cast<const char*>(data);
    unsigned done = 0;
    while (done < count) {
        const ssize_t step = ::pwrite(static_cast<int>(file), next + done, count - done,
                                      static_cast<off_t>(offset + done));
        if (step < 0 && errno == EINTR)
            continue;
        if (step < 0)
            return false;
        if (step == 0)
            break;
        done += static_cast<unsigned>(step);
    }
    *written = done;
    return true;
}

bool IsRegular(intptr_t file) {
    struct stat status;
    return ::fstat(static_cast<int>(file), &status) == 0 && S_ISREG(status.st_mode);
}

bool Seek(intptr_t file, int64_t offset, unsigned from, uint64_t* position) {
    const int whence = from == CFile::end ? SEEK_END : from == CFile::current ? SEEK_CUR : SEEK_SET;
    const off_t reached = ::lseek(static_cast<int>(file), offset, whence);
    if (reached < 0)
        return false;
    *position = static_cast<uint64_t>(reached);
    return true;
}

bool Length(intptr_t file, uint64_t* length) {
    const int fd = static_cast<int>(file);
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (here < 0 || end < 0)
        return false;
    ::lseek(fd, here, SEEK_SET);
    *length = static_cast<uint64_t>(end);
    return true;
}

bool SetLength(intptr_t file, uint64_t length) {
    return ::ftruncate(static_cast<int>(file), static_cast<off_t>(length)) == 0;
}

// A close interrupted by a signal has still released the descriptor.
bool Close(intptr_t file) { return ::close(static_cast<int>(file)) == 0 || errno == EINTR; }

long LastFileError() { return errno; }

const CauseCodes kCauseCodes[] = {
    {CFileException::fileNotFound, {ENOENT}},
    {CFileException::badPath, {ENOTDIR, ENAMETOOLONG}},
    {CFileException::tooManyOpenFiles, {EMFILE, ENFILE}},
    {CFileException::accessDenied, {EACCES, EPERM, EROFS}},
    {CFileException::invalidFile, {EBADF}},
    {CFileException::diskFull, {ENOSPC, EFBIG, EDQUOT}},
    {CFileException::badSeek, {ESPIPE, EINVAL}},
    {CFileException::hardIO, {EIO}},
};
const size_t kCauseCodeRows = sizeof kCauseCodes / sizeof kCauseCodes[0];

void WaitIfWriteHeld() {
    if (!IsLayerThread())
        return;
    WriteHold& hold = Hold();
    std::unique_lock<std::mutex> lock(hold.mutex);
    if (!hold.armed)
        return;
    hold.armed = false;
    hold.holding = true;
    hold.changed.notify_all();
    hold.changed.wait(lock, [&hold] { return !hold.holding; });
}

bool InjectedFailure(const char* operation, long* error) {
    DWORD code = 0;
    if (!::InjectedFailure(operation, &code))
        return false;
    *error = static_cast<long>(code);
    return true;
}

} // namespace system_file
