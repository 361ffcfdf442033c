// CFile over a Win32 file handle.
#include "platform/platform.h"

namespace {

// The framework's mapping of system error codes to causes.
int CauseOf(DWORD error) {
    switch (error) {
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

HANDLE HandleOf(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

[[noreturn]] void ThrowNotOpen() {
    throw new CFileException(CFileException::invalidFile, ERROR_INVALID_HANDLE);
}

} // namespace

CFile::~CFile() {
    if (IsOpen())
        CloseHandle(HandleOf(m_hFile));
}

int CFile::Open(const char* fileName, unsigned openFlags, CFileException* error) {
    if (IsOpen())
        Close();
    if (!fileName || !*fileName) {
        if (error)
            *error = CFileException(CFileException::badPath, ERROR_PATH_NOT_FOUND);
        return 0;
    }
    DWORD access = GENERIC_READ;
    switch (openFlags & 3) {
    case modeWrite:
        access = GENERIC_WRITE;
        break;
    case modeReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
    default:
        break;
    }
    const DWORD share = (openFlags & shareDenyNone) ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    DWORD creation = OPEN_EXISTING;
    if (openFlags & modeCreate)
        creation = (openFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    const HANDLE file =
        CreateFileA(fileName, access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (error)
            *error = CFileException(CauseOf(code), static_cast<long>(code));
        return 0;
    }
    m_hFile = reinterpret_cast<intptr_t>(file);
    return 1;
}

void CFile::ThrowLastError() const {
    const DWORD code = GetLastError();
    throw new CFileException(CauseOf(code), static_cast<long>(code));
}

void CFile::Write(const void* data, unsigned count) {
    if (!IsOpen())
        ThrowNotOpen();
    DWORD written = 0;
    if (!WriteFile(HandleOf(m_hFile), data, count, &written, nullptr))
        ThrowLastError();
    if (written != count)
        throw new CFileException(CFileException::diskFull, ERROR_DISK_FULL);
}

uint64_t CFile::Seek(int64_t offset, unsigned from) {
    if (!IsOpen())
        ThrowNotOpen();
    const DWORD method = from == end ? FILE_END : from == current ? FILE_CURRENT : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(HandleOf(m_hFile), distance, &position, method))
        ThrowLastError();
    return static_cast<uint64_t>(position.QuadPart);
}

uint64_t CFile::GetLength() const {
    if (!IsOpen())
        ThrowNotOpen();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(HandleOf(m_hFile), &size))
        ThrowLastError();
    return static_cast<uint64_t>(size.QuadPart);
}

// Cuts or extends the file and leaves the file position where it was, as
// the POSIX build does.
void CFile::SetLength(uint64_t newLength) {
    if (!IsOpen())
        ThrowNotOpen();
    const HANDLE file = HandleOf(m_hFile);
    LARGE_INTEGER zero{};
    LARGE_INTEGER here;
    LARGE_INTEGER target;
    target.QuadPart = static_cast<LONGLONG>(newLength);
    if (!SetFilePointerEx(file, zero, &here, FILE_CURRENT) ||
        !SetFilePointerEx(file, target, nullptr, FILE_BEGIN) || !SetEndOfFile(file) ||
        !SetFilePointerEx(file, here, nullptr, FILE_BEGIN))
        ThrowLastError();
}

void CFile::Close() {
    if (!IsOpen())
        return;
    const HANDLE file = HandleOf(m_hFile);
    m_hFile = hFileNull;
    if (!CloseHandle(file))
        ThrowLastError();
}
