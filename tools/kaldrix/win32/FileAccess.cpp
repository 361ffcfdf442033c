// SPDX-License-Identifier: MIT
// Opened through a Win32 handle and checked on that handle: what it is, and
// its length.
#include "FileAccess.h"
#include "Failure.h"

#include <windows.h>

namespace cli {

namespace {

std::string SystemReason(DWORD error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
        reason.pop_back();
    return reason.empty() ? "system error " + std::to_string(error) : reason;
}

HANDLE HandleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Empty for a file on disk, else what the handle is.
std::string WhatItIs(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return "a folder";
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        return "";
    case FILE_TYPE_PIPE:
        return "a pipe";
    case FILE_TYPE_CHAR:
        return "a device";
    default:
        return "not a regular file";
    }
}

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

} // namespace

InputFile::InputFile(const std::string& path, Access access) : m_path(path), m_handle(-1) {
    const bool writing = access == Access::readWrite;
    // Backup semantics let a folder open too, so that it is named as one.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | (writing ? GENERIC_WRITE : 0),
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const std::string why = SystemReason(GetLastError());
        if (writing)
            throw Failure(kCannotCreate, "cannot write " + path + ": " + why);
        throw Failure(kInputUnreadable, "cannot read " + path + ": " + why);
    }
    const std::string what = WhatItIs(file);
    LARGE_INTEGER size{};
    if (!what.empty() || !GetFileSizeEx(file, &size)) {
        const std::string why =
            what.empty() ? SystemReason(GetLastError()) : "it is " + what + ", not a regular file";
        CloseHandle(file);
        throw Failure(kInputUnreadable, "cannot read " + path + ": " + why);
    }
    m_handle = reinterpret_cast<intptr_t>(file);
    m_size = static_cast<uint64_t>(size.QuadPart);
}

InputFile::~InputFile() {
    if (m_handle != -1)
        CloseHandle(HandleOf(m_handle));
}

bool InputFile::Read(uint64_t offset, void* bytes, size_t count) {
    if (offset + count > m_size)
        return false;
    auto* next = static_cast<char*>(bytes);
    while (count > 0) {
        OVERLAPPED at = At(offset);
        DWORD got = 0;
        if (!ReadFile(HandleOf(m_handle), next, static_cast<DWORD>(count), &got, &at))
            throw Failure(kInputUnreadable,
                          "cannot read " + m_path + ": " + SystemReason(GetLastError()));
        if (got == 0)
            return false; // cut short since it was opened
        next += got;
        offset += got;
        count -= got;
    }
    return true;
}

bool InputFile::Write(uint64_t offset, const void* bytes, size_t count, std::string* why) {
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (!WriteFile(HandleOf(m_handle), bytes, static_cast<DWORD>(count), &put, &at) ||
        put != count) {
        *why = SystemReason(GetLastError());
        return false;
    }
    return true;
}

bool InputFile::Truncate(uint64_t size, std::string* why) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (SetFilePointerEx(HandleOf(m_handle), end, nullptr, FILE_BEGIN) &&
        SetEndOfFile(HandleOf(m_handle)))
        return true;
    *why = SystemReason(GetLastError());
    return false;
}

bool InputFile::Close(std::string* why) {
    const HANDLE file = HandleOf(m_handle);
    m_handle = -1;
    if (CloseHandle(file))
        return true;
    *why = SystemReason(GetLastError());
    return false;
}

bool PrepareRecordingTarget(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesA(path.c_str());
        const bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        throw Failure(kCannotCreate,
                      "cannot create " + path + ": " +
                          (folder ? std::string("it is a folder") : SystemReason(error)));
    }
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    const std::string what = WhatItIs(file);
    CloseHandle(file);
    if (!what.empty())
        throw Failure(kCannotCreate, "cannot record into " + path + ": it is " + what +
                                         "; kaldrix records into regular files only");
    return existed;
}

} // namespace cli
