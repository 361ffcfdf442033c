// SPDX-License-Identifier: MIT
// CFile on either platform: its modes, its checks and its exceptions, over
// the system calls of platform/*/FileHandle.cpp.
#include "platform/File.h"
#include "platform/FileHandle.h"

namespace {

int CauseOf(long error) {
    for (size_t row = 0; row < system_file::kCauseCodeRows; ++row) {
        for (long code : system_file::kCauseCodes[row].codes) {
            if (code != 0 && code == error)
                return system_file::kCauseCodes[row].cause;
        }
    }
    return CFileException::genericException;
}

[[noreturn]] void Throw(long error) { throw new CFileException(CauseOf(error), error); }

[[noreturn]] void ThrowNotOpen() { Throw(system_file::kNotOpenError); }

// Fails like the system would when a test asks for it.
void ApplyInjectedFailure(const char* operation) {
    long error = 0;
    if (system_file::InjectedFailure(operation, &error))
        Throw(error);
}

system_file::Access AccessOf(unsigned openFlags) {
    switch (openFlags & 3) {
    case CFile::modeWrite:
        return system_file::Access::write;
    case CFile::modeReadWrite:
        return system_file::Access::readWrite;
    default:
        return system_file::Access::read;
    }
}

system_file::Creation CreationOf(unsigned openFlags) {
    if (!(openFlags & CFile::modeCreate))
        return system_file::Creation::openExisting;
    return (openFlags & CFile::modeNoTruncate) ? system_file::Creation::openAlways
                                               : system_file::Creation::createAlways;
}

} // namespace

CFile::~CFile() {
    if (IsOpen())
        system_file::Close(m_hFile);
}

int CFile::Open(const char* fileName, unsigned openFlags, CFileException* error) {
    const system_file::OperationScope scope;
    if (IsOpen())
        Close();
    if (!fileName || !*fileName) {
        if (error)
            *error = CFileException(CFileException::badPath, system_file::kBadPathError);
        return 0;
    }
    const intptr_t file = system_file::Open(
        fileName, AccessOf(openFlags), (openFlags & shareDenyNone) != 0, CreationOf(openFlags));
    if (file == system_file::kInvalid) {
        const long code = system_file::LastFileError();
        if (error)
            *error = CFileException(CauseOf(code), code);
        return 0;
    }
    m_hFile = file;
    return 1;
}

void CFile::ThrowLastError() const { Throw(system_file::LastFileError()); }

// Writes all of `data` or throws: a write that the system cuts short goes on
// from where it stopped, and one that writes nothing means the disk is full.
void CFile::Write(const void* data, unsigned count) {
    const system_file::OperationScope scope;
    if (!IsOpen())
        ThrowNotOpen();
    ApplyInjectedFailure("CFile::Write");
    system_file::WaitIfWriteHeld();
    if (m_positionLost) {
        uint64_t end = 0;
        if (!system_file::Seek(m_hFile, 0, CFile::end, &end))
            ThrowLastError();
        m_positionLost = false;
    }
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
        unsigned written = 0;
        if (!system_file::Write(m_hFile, next, count, &written))
            ThrowLastError();
        if (written == 0)
            Throw(system_file::kDiskFullError);
        next += written;
        count -= written;
    }
}

void CFile::WriteAt(uint64_t offset, const void* data, unsigned count) {
    const system_file::OperationScope scope;
    if (!IsOpen())
        ThrowNotOpen();
    ApplyInjectedFailure("CFile::WriteAt");
    unsigned written = 0;
    if (!system_file::WriteAt(m_hFile, offset, data, count, &written)) {
        m_positionLost = true;
        ThrowLastError();
    }
    if (written != count)
        Throw(system_file::kDiskFullError);
}

bool CFile::IsRegularFile() const {
    const system_file::OperationScope scope;
    return IsOpen() && system_file::IsRegular(m_hFile);
}

uint64_t CFile::Seek(int64_t offset, unsigned from) {
    const system_file::OperationScope scope;
    if (!IsOpen())
        ThrowNotOpen();
    ApplyInjectedFailure("CFile::Seek");
    uint64_t position = 0;
    if (!system_file::Seek(m_hFile, offset, from, &position))
        ThrowLastError();
    return position;
}

uint64_t CFile::GetLength() const {
    const system_file::OperationScope scope;
    if (!IsOpen())
        ThrowNotOpen();
    uint64_t length = 0;
    if (!system_file::Length(m_hFile, &length))
        ThrowLastError();
    return length;
}

void CFile::SetLength(uint64_t newLength) {
    const system_file::OperationScope scope;
    if (!IsOpen())
        ThrowNotOpen();
    if (!system_file::SetLength(m_hFile, newLength))
        ThrowLastError();
}

void CFile::Close() {
    const system_file::OperationScope scope;
    if (!IsOpen())
        return;
    const intptr_t file = m_hFile;
    m_hFile = hFileNull;
    if (!system_file::Close(file))
        ThrowLastError();
}
