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
    const std::string declared = repaired.declaredSize
                                     ? std::to_string(repaired.declaredSize) + " bytes of sound"
                                     : std::string("no sound");
    line.Print(path +
               (repaired.cutShort ? ": a file cut short at " : ": an unfinished recording of ") +
               std::to_string(repaired.fileSize) + " bytes (its header declared " + declared + ")");
    const uint64_t after = repaired.fileSize - repaired.dataOffset - repaired.dataSize;
    line.Finish("repaired " + path + ": " + FormatClock(repaired.seconds) + ", " +
                std::to_string(repaired.dataSize) + " bytes of sound" +
                (after ? " (the last " + std::to_string(after) +
                             " byte(s), less than a frame, stay after the data)"
                       : ""));
    return kSuccess;
}

} // namespace cli
