// SPDX-License-Identifier: MIT
#include "platform/platform.h"

#include <io.h>

std::string LogFolder() { return "C:\\temp\\"; }

// The runtime's handle is made non-inheritable once open: the "N" mode is not
// known to every msvcrt.dll.
std::FILE* OpenLogForAppend(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "at");
    if (file) {
        const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }
    return file;
}
