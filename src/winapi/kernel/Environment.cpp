// SPDX-License-Identifier: MIT
// The process's environment under its Windows name.
#include "winapi/WindowsApi.h"

#include <cstdlib>
#include <cstring>

// As kernel32's: the length without the zero when the value fits, the size
// it needs with the zero when it does not, 0 when the variable is not set.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    const char* value = std::getenv(name);
    if (!value)
        return 0;
    const size_t length = std::strlen(value);
    if (length >= size)
        return static_cast<DWORD>(length + 1);
    std::memcpy(buffer, value, length + 1);
    return static_cast<DWORD>(length);
}
