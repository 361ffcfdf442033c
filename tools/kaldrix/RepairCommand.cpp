#include "Commands.h"
#include "Failure.h"
#include "RecordingRepair.h"
#include "StatusLine.h"

#include <cstdio>

namespace cli {

int RunRepair(const Invocation& invocation) {
    const std::string& path = invocation.infoFile;
    const RepairedRecording repaired = RepairRecording(path);
    std::fprintf(stderr,
                 "%s: an unfinished recording of %llu bytes (its header declared no "
                 "sound)\n",
                 path.c_str(), static_cast<unsigned long long>(repaired.fileSize));
    const uint64_t after = repaired.fileSize - kRecordingHeaderSize - repaired.dataSize;
    std::fprintf(stderr, "repaired %s: %s, %lu bytes of sound%s\n", path.c_str(),
                 FormatClock(repaired.dataSize / 16000.0).c_str(),
                 static_cast<unsigned long>(repaired.dataSize),
                 after ? " (its odd last byte, half a sample, is left after the data)" : "");
    return kSuccess;
}

} // namespace cli
