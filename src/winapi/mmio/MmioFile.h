// SPDX-License-Identifier: MIT
// One file opened by mmioOpenA: a file descriptor read through an I/O buffer
// whose state is kept in an MMIOINFO, so that callers with direct buffer
// access (mmioGetInfo) see pchNext and pchEndRead move as on Windows.
#pragma once

#include "winapi/WindowsApi.h"

#include <cstdint>
#include <memory>

class MmioFile {
public:
    // Opens `fileName` for buffered reading with a buffer of `bufferSize`
    // bytes; null with *error set to an MMIOERR_ code on failure.
    static std::unique_ptr<MmioFile> Open(const char* fileName, LONG bufferSize, UINT* error);
    ~MmioFile();
    MmioFile(const MmioFile&) = delete;
    MmioFile& operator=(const MmioFile&) = delete;

    // Closes the descriptor: 0 on success, else MMIOERR_CANNOTCLOSE.
    MMRESULT Close();

    // The file's length in bytes now.
    int64_t Size() const;
    // The file position: the byte that pchNext stands for.
    int64_t Position() const;
    // Moves the position. Inside the loaded bytes only pchNext moves;
    // elsewhere the buffer is emptied and the next read starts there.
    void Seek(int64_t position);
    // Copies up to `count` bytes from the position on, refilling the buffer
    // as needed: the number copied (0 at the end of the file), -1 on error.
    LONG Read(char* destination, LONG count);
    // Loads the bytes that follow the loaded ones into the buffer, with
    // pchNext at its start; at the end of the file pchNext == pchEndRead.
    // False on a read error, with the buffer left empty.
    bool Refill();
    // Takes back the read position of a caller with direct buffer access;
    // false when `next` is not inside the loaded bytes.
    bool SetNext(HPSTR next);

    // The buffer state as mmioGetInfo hands it out.
    const MMIOINFO& Info() const { return m_info; }
    void SetHandle(HMMIO handle) { m_info.hmmio = handle; }

private:
    MmioFile(int fd, LONG bufferSize);
    int64_t LoadedEnd() const { return m_bufferStart + (m_info.pchEndRead - m_info.pchBuffer); }
    void PlaceBuffer(int64_t start, LONG loaded);

    int m_fd;
    std::unique_ptr<char[]> m_buffer;
    MMIOINFO m_info{};
    // The file offset of the buffer's first byte; lBufOffset is only 32 bits.
    int64_t m_bufferStart = 0;
};
