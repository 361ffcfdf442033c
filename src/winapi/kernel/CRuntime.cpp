// SPDX-License-Identifier: MIT
// The msvcrt functions the core uses under their Windows names.
#include "winapi/WindowsApi.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

char* _strupr(char* text) {
    for (char* p = text; *p; ++p)
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return text;
}

// As msvcrt's: a text of exactly `count` bytes is stored without a
// terminating zero; a longer one is cut to `count` bytes, also without one,
// and the result is -1.
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0)
        return -1;
    const size_t length = static_cast<size_t>(needed);
    if (length < count)
        return std::vsnprintf(buffer, count, format, args);
    std::string whole(length + 1, '\0');
    std::vsnprintf(&whole[0], whole.size(), format, args);
    std::memcpy(buffer, whole.data(), count);
    return length == count ? needed : -1;
}
