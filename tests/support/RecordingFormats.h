// SPDX-License-Identifier: MIT
// The formats a host may ask a recording for, as the one table that each
// build's recording suite runs (the virtual device, the audio server through
// ALSA, both DLLs under Wine), and the check of the file such a recording
// leaves.
#pragma once

#include "kaldrix.h"
#include "support/TestSupport.h"

#include <ostream>
#include <string>

namespace kxtest {

struct RecordingFormat {
    const char* name;
    int samplesPerSec;
    int channels;
    int bitsPerSample;
    // A capture buffer: 60 ms in whole sample frames; 0 for a format the
    // recorder refuses.
    uint32_t bufferBytes;
    // The speakers an extensible header declares; 0 for the 44-byte header.
    uint32_t channelMask;

    bool Recordable() const { return bufferBytes != 0; }
    uint32_t ByteRate() const {
        return static_cast<uint32_t>(samplesPerSec * channels * bitsPerSample / 8);
    }
};

extern const RecordingFormat kRecordingFormats[10];

inline void PrintTo(const RecordingFormat& format, std::ostream* out) { *out << format.name; }

// The library's functions a row calls: linked, or found in a loaded DLL.
struct RecorderCalls {
    int(KALDRIX_CALL* startRecFileFormat)(const char*, int, int, int);
    int(KALDRIX_CALL* stopRecFile)();
    int(KALDRIX_CALL* recordStatus)();
    int(KALDRIX_CALL* startPlayFile)(const char*);
    int(KALDRIX_CALL* stopPlayFile)();
};

// One row: a refused format answers 0 at once and leaves the recorder idle
// and an existing file at `path` as it was; any other records about a second
// into `path`, whose header, sizes, whole buffers and length (half a second
// at least, no more than the time the device ran) are checked, and which the
// library then plays. Returns the recorded data (none for a refused format).
Bytes RecordOneRow(const RecorderCalls& calls, const RecordingFormat& format,
                   const std::string& path);

} // namespace kxtest
