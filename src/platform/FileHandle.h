// SPDX-License-Identifier: MIT
// The system calls under CFile, one small file per platform
// (platform/posix/FileHandle.cpp, platform/win32/FileHandle.cpp). Each
// returns false on failure and leaves the system's error code for
// LastFileError(); CFile (platform/File.cpp) turns that into its exceptions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace system_file {

constexpr intptr_t kInvalid = -1;

enum class Access { read, write, readWrite };
enum class Creation { openExisting, openAlways, createAlways };

// The system's codes for the failures CFile reports without a system call.
extern const long kBadPathError;
extern const long kNotOpenError;
extern const long kDiskFullError;

// Held by each CFile operation from its entry to its return, declared first:
// on POSIX a thread that TerminateThread has ended parks at either end and
// never runs on; nothing on Windows.
class OperationScope {
public:
    OperationScope();
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;
};

// kInvalid on failure.
intptr_t Open(const char* fileName, Access access, bool shareDenyNone, Creation creation);
// Writes some of `data`; *written may be less than count.
bool Write(intptr_t file, const void* data, unsigned count, unsigned* written);
// Writes at `offset` and leaves the file position at the end of the file
// (Windows moves it there and back; POSIX never moves it). Some of `data`
// may be written: *written tells.
bool WriteAt(intptr_t file, uint64_t offset, const void* data, unsigned count, unsigned* written);
bool Seek(intptr_t file, int64_t offset, unsigned from, uint64_t* position);
bool IsRegular(intptr_t file);
bool Length(intptr_t file, uint64_t* length);
// Cuts or extends the file; the file position stays where it was.
bool SetLength(intptr_t file, uint64_t length);
bool Close(intptr_t file);

long LastFileError();

// The CFileException causes of the system's error codes: each row lists the
// codes of one cause; a code in no row is a genericException.
struct CauseCodes {
    int cause;
    long codes[5]; // zero-padded
};
extern const CauseCodes kCauseCodes[];
extern const size_t kCauseCodeRows;
// True when a test has asked this call of `operation` to fail; *error is the
// code to fail with. Never on Windows.
bool InjectedFailure(const char* operation, long* error);
// Waits while a test holds this write (POSIX layer threads only); returns at
// once on Windows.
void WaitIfWriteHeld();

} // namespace system_file
