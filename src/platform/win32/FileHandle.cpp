// SPDX-License-Identifier: MIT
// CFile's system calls over a Win32 file handle.
#include "platform/FileHandle.h"
#include "platform/platform.h"

namespace system_file {

namespace {
HANDLE HandleOf(intptr_t file) { return reinterpret_cast<HANDLE>(file); }
} // namespace

OperationScope::OperationScope() {}

OperationScope::~OperationScope() {}

const long kBadPathError = ERROR_PATH_NOT_FOUND;
const long kNotOpenError = ERROR_INVALID_HANDLE;
const long kDiskFullError = ERROR_DISK_FULL;

intptr_t Open(const char* fileName, Access access, bool shareDenyNone, Creation creation) {
    DWORD rights = GENERIC_READ;
    if (access == Access::write)
        rights = GENERIC_WRITE;
    else if (access == Access::readWrite)
        rights = GENERIC_READ | GENERIC_WRITE;
    const DWORD share = shareDenyNone ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    const DWORD disposition = creation == Creation::openAlways     ? OPEN_ALWAYS
                              : creation == Creation::createAlways ? CREATE_ALWAYS
                                                                   : OPEN_EXISTING;
    const HANDLE file =
        CreateFileA(fileName, rights, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalid : reinterpret_cast<intptr_t>(file);
}

bool Write(intptr_t file, const void* data, unsigned count, unsigned* written) {
    DWORD done = 0;
    if (!WriteFile(HandleOf(file), data, count, &done, nullptr))
        return false;
    *written = done;
    return true;
}

// The handle has one file position: it goes to `offset` for the write and
// back to the end, where the file's appends go, whether the write succeeded
// or not. The write's own error is the one reported.
bool WriteAt(intptr_t file, uint64_t offset, const void* data, unsigned count, unsigned* written) {
    const HANDLE handle = HandleOf(file);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN))
        return false;
    DWORD done = 0;
    const bool wrote = WriteFile(handle, data, count, &done, nullptr) != 0;
    const DWORD writeError = GetLastError();
    const LARGE_INTEGER zero{};
    if (!SetFilePointerEx(handle, zero, nullptr, FILE_END))
        return false;
    if (!wrote) {
        SetLastError(writeError);
        return false;
    }
    *written = done;
    return true;
}

bool IsRegular(intptr_t file) { return GetFileType(HandleOf(file)) == FILE_TYPE_DISK; }

bool Seek(intptr_t file, int64_t offset, unsigned from, uint64_t* position) {
    const DWORD method = from == CFile::end       ? FILE_END
                         : from == CFile::current ? FILE_CURRENT
                                                  : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER reached;
    if (!SetFilePointerEx(HandleOf(file), distance, &reached, method))
        return false;
    *position = static_cast<uint64_t>(reached.QuadPart);
    return true;
}

bool Length(intptr_t file, uint64_t* length) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(HandleOf(file), &size))
        return false;
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool SetLength(intptr_t file, uint64_t length) {
    const HANDLE handle = HandleOf(file);
    LARGE_INTEGER zero{};
    LARGE_INTEGER here;
    LARGE_INTEGER target;
    target.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(handle, zero, &here, FILE_CURRENT) &&
           SetFilePointerEx(handle, target, nullptr, FILE_BEGIN) && SetEndOfFile(handle) &&
           SetFilePointerEx(handle, here, nullptr, FILE_BEGIN);
}

bool Close(intptr_t file) { return CloseHandle(HandleOf(file)) != 0; }

long LastFileError() { return static_cast<long>(GetLastError()); }

// The framework's mapping of system error codes to causes.
const CauseCodes kCauseCodes[] = {
    {CFileException::fileNotFound, {ERROR_FILE_NOT_FOUND}},
    {CFileException::badPath,
     {ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_INVALID_NAME, ERROR_BAD_PATHNAME,
      ERROR_FILENAME_EXCED_RANGE}},
    {CFileException::tooManyOpenFiles, {ERROR_TOO_MANY_OPEN_FILES}},
    {CFileException::accessDenied, {ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT}},
    {CFileException::invalidFile, {ERROR_INVALID_HANDLE}},
    {CFileException::removeCurrentDir, {ERROR_CURRENT_DIRECTORY}},
    {CFileException::directoryFull, {ERROR_CANNOT_MAKE}},
    {CFileException::badSeek, {ERROR_SEEK, ERROR_NEGATIVE_SEEK}},
    {CFileException::hardIO,
     {ERROR_WRITE_FAULT, ERROR_READ_FAULT, ERROR_GEN_FAILURE, ERROR_CRC, ERROR_NOT_READY}},
    {CFileException::sharingViolation, {ERROR_SHARING_VIOLATION}},
    {CFileException::lockViolation, {ERROR_LOCK_VIOLATION}},
    {CFileException::diskFull, {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}},
    {CFileException::endOfFile, {ERROR_HANDLE_EOF}},
};
const size_t kCauseCodeRows = sizeof kCauseCodes / sizeof kCauseCodes[0];

bool InjectedFailure(const char*, long*) { return false; }

void WaitIfWriteHeld() {}

} // namespace system_file
