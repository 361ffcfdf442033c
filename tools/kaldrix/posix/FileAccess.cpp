// SPDX-License-Identifier: MIT
// Opened with O_NONBLOCK and checked with fstat on the descriptor itself, so
// that nothing can change between the check and the use.
#include "FileAccess.h"
#include "Failure.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

std::string WhatItIs(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

std::string Reason(int error) { return error == EISDIR ? "it is a folder" : std::strerror(error); }

} // namespace

InputFile::InputFile(const std::string& path, Access access) : m_path(path), m_handle(-1) {
    const bool writing = access == Access::readWrite;
    const int fd =
        ::open(path.c_str(), (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (writing)
            throw Failure(kCannotCreate, "cannot write " + path + ": " + Reason(error));
        throw Failure(kInputUnreadable, "cannot read " + path + ": " + Reason(error));
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        throw Failure(kInputUnreadable, "cannot read " + path + ": " + std::strerror(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        throw Failure(kInputUnreadable, "cannot read " + path + ": it is " +
                                            WhatItIs(status.st_mode) + ", not a regular file");
    }
    m_handle = fd;
    m_size = static_cast<uint64_t>(status.st_size);
}

InputFile::~InputFile() {
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

bool InputFile::Read(uint64_t offset, void* bytes, size_t count) {
    if (offset + count > m_size)
        return false;
    auto* next = static_cast<char*>(bytes);
    while (count > 0) {
        const ssize_t got = ::pread(static_cast<int>(m_handle), next, count, off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Failure(kInputUnreadable, "cannot read " + m_path + ": " + std::strerror(errno));
        if (got == 0)
            return false; // cut short since it was opened
        next += got;
        offset += uint64_t(got);
        count -= size_t(got);
    }
    return true;
}

bool InputFile::Write(uint64_t offset, const void* bytes, size_t count, std::string* why) {
    const auto* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t put = ::pwrite(static_cast<int>(m_handle), next, count, off_t(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *why = put < 0 ? std::strerror(errno) : "nothing was written";
            return false;
        }
        next += put;
        offset += uint64_t(put);
        count -= size_t(put);
    }
    return true;
}

bool InputFile::Truncate(uint64_t size, std::string* why) {
    while (::ftruncate(static_cast<int>(m_handle), off_t(size)) != 0) {
        if (errno != EINTR) {
            *why = std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool InputFile::Close(std::string* why) {
    const int fd = static_cast<int>(m_handle);
    m_handle = -1;
    if (::close(fd) == 0 || errno == EINTR)
        return true;
    *why = std::strerror(errno);
    return false;
}

// O_PATH looks at what the path is without opening it for reading or
// writing: a FIFO's reader is neither woken nor handed an end of file.
bool PrepareRecordingTarget(const std::string& path) {
    const int probe = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (probe < 0 && errno != ENOENT)
        throw Failure(kCannotCreate, "cannot create " + path + ": " + Reason(errno));
    if (probe < 0) {
        const int created =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (created < 0)
            throw Failure(kCannotCreate, "cannot create " + path + ": " + Reason(errno));
        ::close(created);
        return false;
    }
    struct stat status;
    const bool known = ::fstat(probe, &status) == 0;
    ::close(probe);
    if (known && !S_ISREG(status.st_mode))
        throw Failure(kCannotCreate, "cannot record into " + path + ": it is " +
                                         WhatItIs(status.st_mode) +
                                         "; kaldrix records into regular files only");
    // The library opens it for writing: a file that refuses that is reported
    // now, without changing it.
    if (::access(path.c_str(), W_OK) != 0)
        throw Failure(kCannotCreate, "cannot create " + path + ": " + Reason(errno));
    return true;
}

} // namespace cli
