// SPDX-License-Identifier: MIT
#include "platform/posix/MmioFile.h"
#include "platform/posix/Descriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

std::unique_ptr<MmioFile> MmioFile::Open(const char* fileName, LONG bufferSize, UINT* error) {
    if (!fileName || !*fileName) {
        *error = MMIOERR_FILENOTFOUND;
        return nullptr;
    }
    // Without blocking: opening a FIFO that has no writer would wait for one.
    const int fd = AboveStandardStreams(::open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd < 0) {
        *error = (errno == ENOENT || errno == ENOTDIR) ? MMIOERR_FILENOTFOUND : MMIOERR_CANNOTOPEN;
        return nullptr;
    }
    // Only regular files are read: a folder cannot be opened as a file on
    // Windows, and a FIFO or a device (/dev/zero) would wait or never end.
    // On a regular file O_NONBLOCK changes nothing.
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *error = MMIOERR_CANNOTOPEN;
        return nullptr;
    }
    std::unique_ptr<MmioFile> file(new (std::nothrow) MmioFile(fd, bufferSize));
    if (!file || !file->m_buffer) {
        if (!file)
            ::close(fd);
        *error = MMIOERR_OUTOFMEMORY;
        return nullptr;
    }
    return file;
}

MmioFile::MmioFile(int fd, LONG bufferSize)
    : m_fd(fd), m_buffer(new (std::nothrow) char[static_cast<size_t>(bufferSize)]) {
    m_info.dwFlags = MMIO_READ | MMIO_ALLOCBUF;
    m_info.fccIOProc = mmioFOURCC('D', 'O', 'S', ' ');
    m_info.cchBuffer = bufferSize;
    m_info.pchBuffer = m_buffer.get();
    m_info.pchEndWrite = m_info.pchBuffer + bufferSize;
    PlaceBuffer(0, 0);
}

MmioFile::~MmioFile() { Close(); }

MMRESULT MmioFile::Close() {
    if (m_fd < 0)
        return MMSYSERR_NOERROR;
    const int fd = m_fd;
    m_fd = -1;
    // The descriptor is gone even when close reports an error.
    return (::close(fd) == 0 || errno == EINTR) ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

int64_t MmioFile::Size() const {
    struct stat status;
    return ::fstat(m_fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : 0;
}

int64_t MmioFile::Position() const { return m_bufferStart + (m_info.pchNext - m_info.pchBuffer); }

void MmioFile::Seek(int64_t position) {
    if (position >= m_bufferStart && position <= LoadedEnd())
        m_info.pchNext = m_info.pchBuffer + (position - m_bufferStart);
    else
        PlaceBuffer(position, 0);
}

LONG MmioFile::Read(char* destination, LONG count) {
    if (count < 0)
        return -1;
    LONG copied = 0;
    while (copied < count) {
        if (m_info.pchNext == m_info.pchEndRead) {
            if (!Refill())
                return -1;
            if (m_info.pchNext == m_info.pchEndRead)
                break; // end of the file
        }
        const LONG run =
            std::min<LONG>(count - copied, static_cast<LONG>(m_info.pchEndRead - m_info.pchNext));
        std::memcpy(destination + copied, m_info.pchNext, static_cast<size_t>(run));
        m_info.pchNext += run;
        copied += run;
    }
    return copied;
}

bool MmioFile::Refill() {
    const int64_t start = LoadedEnd();
    LONG loaded = 0;
    while (loaded < m_info.cchBuffer) {
        const ssize_t got =
            ::pread(m_fd, m_buffer.get() + loaded, static_cast<size_t>(m_info.cchBuffer - loaded),
                    static_cast<off_t>(start + loaded));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            PlaceBuffer(start, 0);
            return false;
        }
        if (got == 0)
            break;
        loaded += static_cast<LONG>(got);
    }
    PlaceBuffer(start, loaded);
    return true;
}

bool MmioFile::SetNext(HPSTR next) {
    if (next < m_info.pchBuffer || next > m_info.pchEndRead)
        return false;
    m_info.pchNext = next;
    return true;
}

void MmioFile::PlaceBuffer(int64_t start, LONG loaded) {
    m_bufferStart = start;
    m_info.pchNext = m_info.pchBuffer;
    m_info.pchEndRead = m_info.pchBuffer + loaded;
    m_info.lBufOffset = static_cast<LONG>(start);
    m_info.lDiskOffset = static_cast<LONG>(start + loaded);
}
