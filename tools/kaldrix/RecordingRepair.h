// SPDX-License-Identifier: MIT
// Recordings whose host died while recording. The library writes its 44-byte
// header with both sizes 0 when a recording starts and the sizes only when it
// stops, so such a file holds its sound after a header that declares none.
#pragma once

#include "recording/RecordingHeader.h"

#include <cstdint>
#include <string>

namespace cli {

constexpr uint64_t kRecordingHeaderSize = RecordingHeader::kSize;

// True for the recorder's header with both sizes still 0; `header` holds at
// least kRecordingHeaderSize bytes.
bool IsUnfinishedRecording(const unsigned char* header);

struct RepairedRecording {
    uint64_t fileSize = 0;
    uint32_t dataSize = 0; // the whole 16-bit samples after the header
};

// Writes the RIFF size (36 + data) and the data size into an unfinished
// recording and nothing else. Throws Failure(kMalformed), changing nothing,
// for any other file.
RepairedRecording RepairRecording(const std::string& path);

} // namespace cli
