// SPDX-License-Identifier: MIT
#include "Commands.h"
#include "Failure.h"
#include "RecordingRepair.h"
#include "StatusLine.h"

namespace cli {

int RunRepair(const Invocation& invocation) {
    const std::string& path = invocation.infoFiles.front();
    const RepairedRecording repaired = RepairRecording(path);
    StatusLine line(invocation);
    line.Print(path + ": an unfinished recording of " + std::to_string(repaired.fileSize) +
               " bytes (its header declared " +
               (repaired.declaredSize ? std::to_string(repaired.declaredSize) + " bytes of sound"
                                      : std::string("no sound")) +
               ")");
    const uint64_t after = repaired.fileSize - kRecordingHeaderSize - repaired.dataSize;
    line.Finish("repaired " + path + ": " + FormatClock(repaired.dataSize / 16000.0) + ", " +
                std::to_string(repaired.dataSize) + " bytes of sound" +
                (after ? " (its odd last byte, half a sample, is left after the data)" : ""));
    return kSuccess;
}

} // namespace cli
