#include "platform/LogLocation.h"

#include <cstdlib>

namespace {
std::string LogDirectory() {
    const char* folder = std::getenv("KALDRIX_LOG_DIR");
    return folder && *folder ? folder : "/tmp";
}
} // namespace

std::string LogMarkerPath() { return LogDirectory() + "/tracelog.is"; }

std::string LogFilePath(const char* fileName) { return LogDirectory() + "/" + fileName; }

// "e": close-on-exec.
std::FILE* OpenLogForAppend(const std::string& path) { return std::fopen(path.c_str(), "ae"); }
