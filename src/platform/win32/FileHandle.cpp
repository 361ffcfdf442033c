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
int CauseOf(long error) {
    switch (static_cast<DWORD>(error)) {
    case ERROR_FILE_NOT_FOUND:
        return CFileException::fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return CFileException::badPath;
    case ERROR_TOO_MANY_OPEN_FILES:
        return CFileException::tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return CFileException::accessDenied;
    case ERROR_INVALID_HANDLE:
        return CFileException::invalidFile;
    case ERROR_CURRENT_DIRECTORY:
        return CFileException::removeCurrentDir;
    case ERROR_CANNOT_MAKE:
        return CFileException::directoryFull;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK:
        return CFileException::badSeek;
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_CRC:
    case ERROR_NOT_READY:
        return CFileException::hardIO;
    case ERROR_SHARING_VIOLATION:
        return CFileException::sharingViolation;
    case ERROR_LOCK_VIOLATION:
        return CFileException::lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return CFileException::diskFull;
    case ERROR_HANDLE_EOF:
        return CFileException::endOfFile;
    default:
        return CFileException::genericException;
    }
}

bool InjectedFailure(const char*, long*) { return false; }

void WaitIfWriteHeld() {}

} // namespace system_file
