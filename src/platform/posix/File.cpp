// CFile over a file descriptor.
#include "platform/platform.h"
#include "platform/posix/FaultInjection.h"
#include "platform/posix/Immortal.h"
#include "platform/posix/TestInterface.h"
#include "platform/posix/ThreadState.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

int CauseOf(int error) {
    switch (error) {
    case ENOENT:
        return CFileException::fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
        return CFileException::badPath;
    case EMFILE:
    case ENFILE:
        return CFileException::tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
        return CFileException::accessDenied;
    case EBADF:
        return CFileException::invalidFile;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
        return CFileException::diskFull;
    case ESPIPE:
    case EINVAL:
        return CFileException::badSeek;
    case EIO:
        return CFileException::hardIO;
    default:
        return CFileException::genericException;
    }
}

// Fails like the system would when a test asks for it.
void ApplyInjectedFailure(const char* operation) {
    DWORD code = 0;
    if (InjectedFailure(operation, &code))
        throw new CFileException(CauseOf(static_cast<int>(code)), static_cast<long>(code));
}

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

void WaitIfHeld() {
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

CFile::~CFile() {
    if (IsOpen())
        ::close(static_cast<int>(m_hFile));
}

int CFile::Open(const char* fileName, unsigned openFlags, CFileException* error) {
    const ParkAround park;
    if (IsOpen())
        Close();
    if (!fileName || !*fileName) {
        if (error)
            *error = CFileException(CFileException::badPath, ENOENT);
        return 0;
    }
    // Without blocking, so that a FIFO with no reader fails at once instead
    // of waiting for one; writes block again as usual once it is open.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (openFlags & 3) {
    case modeWrite:
        flags |= O_WRONLY;
        break;
    case modeReadWrite:
        flags |= O_RDWR;
        break;
    default:
        flags |= O_RDONLY;
        break;
    }
    if (openFlags & modeCreate)
        flags |= (openFlags & modeNoTruncate) ? O_CREAT : (O_CREAT | O_TRUNC);
    const int fd = ::open(fileName, flags, 0666);
    if (fd < 0) {
        if (error)
            *error = CFileException(CauseOf(errno), errno);
        return 0;
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
        if (error)
            *error = CFileException(CauseOf(errno), errno);
        ::close(fd);
        return 0;
    }
    m_hFile = fd;
    return 1;
}

void CFile::ThrowLastError() const { throw new CFileException(CauseOf(errno), errno); }

void CFile::Write(const void* data, unsigned count) {
    const ParkAround park;
    if (!IsOpen())
        throw new CFileException(CFileException::invalidFile, EBADF);
    ApplyInjectedFailure("CFile::Write");
    WaitIfHeld();
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t written = ::write(static_cast<int>(m_hFile), next, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastError();
        }
        if (written == 0)
            throw new CFileException(CFileException::diskFull, ENOSPC);
        next += written;
        count -= static_cast<unsigned>(written);
    }
}

uint64_t CFile::Seek(int64_t offset, unsigned from) {
    const ParkAround park;
    if (!IsOpen())
        throw new CFileException(CFileException::invalidFile, EBADF);
    ApplyInjectedFailure("CFile::Seek");
    const int whence = from == end ? SEEK_END : from == current ? SEEK_CUR : SEEK_SET;
    const off_t position = ::lseek(static_cast<int>(m_hFile), offset, whence);
    if (position < 0)
        ThrowLastError();
    return static_cast<uint64_t>(position);
}

uint64_t CFile::GetLength() const {
    const ParkAround park;
    if (!IsOpen())
        throw new CFileException(CFileException::invalidFile, EBADF);
    const off_t here = ::lseek(static_cast<int>(m_hFile), 0, SEEK_CUR);
    const off_t length = ::lseek(static_cast<int>(m_hFile), 0, SEEK_END);
    if (here < 0 || length < 0)
        ThrowLastError();
    ::lseek(static_cast<int>(m_hFile), here, SEEK_SET);
    return static_cast<uint64_t>(length);
}

void CFile::SetLength(uint64_t newLength) {
    const ParkAround park;
    if (!IsOpen())
        throw new CFileException(CFileException::invalidFile, EBADF);
    if (::ftruncate(static_cast<int>(m_hFile), static_cast<off_t>(newLength)) != 0)
        ThrowLastError();
}

void CFile::Close() {
    const ParkAround park;
    if (!IsOpen())
        return;
    const int fd = static_cast<int>(m_hFile);
    m_hFile = hFileNull;
    if (::close(fd) != 0 && errno != EINTR)
        ThrowLastError();
}
