// SPDX-License-Identifier: MIT
// The framework's file class, as far as the library uses it: every write or
// seek on a file that is not open, and every write or seek that the system
// refuses, throws a CFileException allocated on the heap (catch it by pointer
// and call Delete).
#pragma once

#include <cstdint>

class CFileException {
public:
    enum Cause {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };

    CFileException(int cause, long osError) : m_cause(cause), m_lOsError(osError) {}
    void Delete() { delete this; }

    int m_cause;
    long m_lOsError;
};

class CFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000
    };
    enum SeekPosition : unsigned { begin = 0, current = 1, end = 2 };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    virtual ~CFile();

    // Returns nonzero when the file is open; never throws. A null or empty
    // name fails like a file that cannot be opened.
    int Open(const char* fileName, unsigned openFlags, CFileException* error = nullptr);
    void Write(const void* data, unsigned count);
    // Writes all of `data` at `offset`, inside a file that is appended to:
    // the next Write still goes to the end of the file, also after a failure
    // here.
    void WriteAt(uint64_t offset, const void* data, unsigned count);
    uint64_t Seek(int64_t offset, unsigned from);
    uint64_t GetLength() const;
    void SetLength(uint64_t newLength);
    void Close();
    bool IsOpen() const { return m_hFile != hFileNull; }
    // A file on disk, not a pipe, a socket or a device; false when not open.
    bool IsRegularFile() const;

private:
    static constexpr intptr_t hFileNull = -1;
    [[noreturn]] void ThrowLastError() const;

    intptr_t m_hFile = hFileNull; // a file descriptor on POSIX, a HANDLE on Windows
    // A WriteAt failed where it may have left the file position inside the
    // file: the next Write moves to the end first.
    bool m_positionLost = false;
};
