// SPDX-License-Identifier: MIT
// The files the commands read, mend and record into. No open ever waits (a
// plain open of a FIFO that nobody writes to would wait for good, and the
// stop signals could not end it), and only a regular file is taken: anything
// else is refused at once, with a message that says what the path is. One
// implementation per platform (posix/FileAccess.cpp, win32/FileAccess.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

class InputFile {
public:
    enum class Access { read, readWrite };

    // Throws Failure(kInputUnreadable) naming the path and why ("it is a
    // FIFO"); for readWrite, a file that cannot be opened for writing throws
    // Failure(kCannotCreate).
    InputFile(const std::string& path, Access access);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The length when it was opened.
    uint64_t size() const { return m_size; }
    // Reads `count` bytes at `offset`; false if the file ends before. Throws
    // Failure(kInputUnreadable) when the system cannot read it.
    bool Read(uint64_t offset, void* bytes, size_t count);
    // Writes all of `bytes` at `offset`; otherwise false with the system's
    // reason in *why.
    bool Write(uint64_t offset, const void* bytes, size_t count, std::string* why);
    // Cuts the file to `size` bytes; otherwise false with the system's reason
    // in *why.
    bool Truncate(uint64_t size, std::string* why);
    // Closes the file; false with the system's reason in *why when the
    // system reports that something written was lost.
    bool Close(std::string* why);

private:
    std::string m_path;
    intptr_t m_handle;
    uint64_t m_size = 0;
};

// Makes sure a recording can go into `path` without writing to it: a missing
// file is created empty, a regular file is left as it is (the library
// truncates it), and anything else (a FIFO, a device, a folder) throws
// Failure(kCannotCreate) without being opened for writing, so that a FIFO's
// reader sees nothing. True when the file existed.
bool PrepareRecordingTarget(const std::string& path);

} // namespace cli
