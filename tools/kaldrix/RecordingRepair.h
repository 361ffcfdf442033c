// SPDX-License-Identifier: MIT
// Recordings whose host died while recording. The library writes its 44-byte
// header declaring no sound (RIFF size 36, data size 0) when a recording
// starts, brings the sizes up to date with the first buffer and about once a
// second after it while it records, and writes the final ones when it stops;
// so such a file holds more sound than its header declares. A header with
// both sizes 0, the start header of earlier builds, counts too.
#pragma once

#include "recording/RecordingHeader.h"

#include <cstdint>
#include <string>

namespace cli {

constexpr uint64_t kRecordingHeaderSize = RecordingHeader::kSize;

// True for the recorder's header whose sizes are both 0, or are consistent
// but declare fewer whole samples than a file of `fileSize` bytes holds; `header` holds at least
// kRecordingHeaderSize bytes.
bool IsUnfinishedRecording(const unsigned char* header, uint64_t fileSize);

struct RepairedRecording {
    uint64_t fileSize = 0;
    uint32_t declaredSize = 0; // the data size the header declared before
    uint32_t dataSize = 0;     // the whole 16-bit samples after the header
};

// Writes the RIFF size (36 + data) and the data size into an unfinished
// recording and nothing else. Throws Failure(kMalformed), changing nothing,
// for any other file.
RepairedRecording RepairRecording(const std::string& path);

} // namespace cli
