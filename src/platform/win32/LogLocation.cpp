// SPDX-License-Identifier: MIT
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

// The runtime makes its descriptors 0 to 2 the process's standard handles: a
// host that closed one would find the day's file behind its printf. A
// descriptor that lands there is copied until the copy is above 2, and the
// ones below are closed again.
int AboveStandardStreams(int fd) {
    int low[3];
    int count = 0;
    while (fd >= 0 && fd <= 2) {
        low[count++] = fd;
        fd = _dup(fd);
    }
    for (int i = 0; i < count; ++i)
        _close(low[i]);
    return fd;
}

} // namespace

std::string LogFolder() { return "C:\\temp\\"; }

// As fopen's "r+" opens it, without a runtime descriptor.
bool LogMarkerPresent(const std::string& path) {
    const HANDLE marker =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(marker);
    return true;
}

// As fopen's "at" opens it. The handle is made non-inheritable once open:
// the "N" mode is not known to every msvcrt.dll.
std::FILE* OpenLogForAppend(const std::string& path) {
    const int fd = AboveStandardStreams(
        _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT, _S_IREAD | _S_IWRITE));
    if (fd < 0)
        return nullptr;
    std::FILE* file = _fdopen(fd, "at");
    if (!file) {
        _close(fd);
        return nullptr;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), HANDLE_FLAG_INHERIT, 0);
    return file;
}
