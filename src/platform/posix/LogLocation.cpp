// SPDX-License-Identifier: MIT
#include "platform/LogLocation.h"
#include "platform/posix/Descriptors.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string LogFolder() {
    const char* folder = std::getenv("KALDRIX_LOG_DIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/";
}

bool LogMarkerPresent(const std::string& path) {
    const int fd =
        AboveStandardStreams(open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// The folder is usually /tmp, where anyone may plant a name: the day's file
// is taken only when it is a regular file of this process's user, reached
// without following a symbolic link. A FIFO is opened without waiting for a
// reader, and is then refused like any other non-regular file. A new file
// gets the mode fopen would give it (0666 less the umask). Programs that the
// host starts do not inherit it (O_CLOEXEC).
std::FILE* OpenLogForAppend(const std::string& path) {
    const int fd = AboveStandardStreams(
        open(path.c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
    if (fd < 0)
        return nullptr;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        fcntl(fd, F_SETFL, O_APPEND) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "a");
    if (!file)
        close(fd);
    return file;
}
