#include "platform/LogLocation.h"

#include <cstdlib>

std::string LogFolder() {
    const char* folder = std::getenv("KALDRIX_LOG_DIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/";
}

// "e": close-on-exec.
std::FILE* OpenLogForAppend(const std::string& path) { return std::fopen(path.c_str(), "ae"); }
