#include "platform/LogLocation.h"

#include <cstdlib>

std::string LogFolder() {
    const char* folder = std::getenv("KALDRIX_LOG_DIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/";
}

const char kLogAppendMode[] = "a";
