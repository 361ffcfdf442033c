// CFile over a file descriptor.
#include "platform/platform.h"
#include "platform/posix/FaultInjection.h"

#include <cerrno>
#include <fcntl.h>
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

} // namespace

CFile::~CFile() {
    if (IsOpen())
        ::close(static_cast<int>(m_hFile));
}

int CFile::Open(const char* fileName, unsigned openFlags, CFileException* error) {
    if (IsOpen())
        Close();
    if (!fileName || !*fileName) {
        if (error)
            *error = CFileException(CFileException::badPath, ENOENT);
        return 0;
    }
    int flags = O_CLOEXEC;
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
    m_hFile = fd;
    return 1;
}

void CFile::ThrowLastError() const { throw new CFileException(CauseOf(errno), errno); }

void CFile::Write(const void* data, unsigned count) {
    if (!IsOpen())
        throw new CFileException(CFileException::invalidFile, EBADF);
    ApplyInjectedFailure("CFile::Write");
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
    if (!IsOpen())
        throw new CFileException(CFileException::invalidFile, EBADF);
    if (::ftruncate(static_cast<int>(m_hFile), static_cast<off_t>(newLength)) != 0)
        ThrowLastError();
}

void CFile::Close() {
    if (!IsOpen())
        return;
    const int fd = static_cast<int>(m_hFile);
    m_hFile = hFileNull;
    if (::close(fd) != 0 && errno != EINTR)
        ThrowLastError();
}
