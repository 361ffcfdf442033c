// SPDX-License-Identifier: MIT
// Recordings whose header does not declare the sound the file holds. The
// library writes the header of the recording's format declaring no sound
// when a recording starts, brings the sizes up to date with the first buffer
// and about once a second after it while it records, and writes the final
// ones when it stops; so the file of a host that died while recording holds
// more sound than its header declares (an unfinished recording). A header
// with both sizes 0, the start header of earlier builds, counts too. A file
// cut short (copied in part) declares more than it holds.
#pragma once

#include "WaveInspection.h"

#include <cstdint>
#include <string>

namespace cli {

// What the recorder's header at the start of a file says of it, when the
// file starts with that header (of any format it records) and its sizes are
// both 0, or are consistent but declare fewer whole frames than the file
// holds. `bytes` holds the file's first `count` bytes.
struct UnfinishedRecording {
    WaveFormat format;
    size_t headerSize = 0;
    uint32_t declared = 0; // the data size the header declares
    uint64_t held = 0;     // the whole frames' bytes after the header
};
bool FindUnfinishedRecording(const unsigned char* bytes, size_t count, uint64_t fileSize,
                             UnfinishedRecording* found);

// Declares `dataBytes` of sound in the file `wave` describes, whose "data"
// chunk is its last: writes its data size and the RIFF size that ends with
// it, and with `cutAfter` drops the bytes after them. Throws
// Failure(kCannotCreate) when the file cannot be written.
void DeclareData(const std::string& path, const WaveFile& wave, uint32_t dataBytes, bool cutAfter);

struct RepairedRecording {
    uint64_t fileSize = 0;
    uint64_t dataOffset = 0;
    uint32_t declaredSize = 0; // the data size the header declared before
    uint32_t dataSize = 0;     // the whole frames it declares now
    bool cutShort = false;     // it declared more than it held
    double seconds = 0.0;      // of the sound it declares now
};

// Declares the whole frames that an unfinished recording or a file cut
// short holds, writing the two sizes and nothing else. Throws
// Failure(kMalformed), changing nothing, for any other file.
RepairedRecording RepairRecording(const std::string& path);

} // namespace cli
