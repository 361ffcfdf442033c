// SPDX-License-Identifier: MIT
// The fuzz input as a file on disk, for readers that open files by name:
// one file per process, rewritten for every input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fuzz {

inline char g_path[4096];

inline void RemoveInputFile() { ::unlink(g_path); }

inline const char* InputPath() {
    if (!g_path[0]) {
        const char* base = std::getenv("TMPDIR");
        std::snprintf(g_path, sizeof g_path, "%s/kaldrix-fuzz-XXXXXX",
                      base && *base ? base : "/tmp");
        const int fd = ::mkstemp(g_path);
        if (fd < 0)
            std::abort();
        ::close(fd);
        std::atexit(RemoveInputFile);
    }
    return g_path;
}

inline const char* WriteInput(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(InputPath(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();
    return InputPath();
}

inline void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace fuzz
