// Helpers of the playback suites: the trace log as bytes, open descriptors,
// and WAVE files in every format the player is tried with.
#pragma once

#include "support/TestSupport.h"

#include <string>

namespace kxtest {

// Sends g_Log to a private folder for the life of the object (marker file and
// KALDRIX_LOG_DIR), so a test can read exactly the records it caused.
class PlayLogCapture {
public:
    PlayLogCapture();
    ~PlayLogCapture();
    PlayLogCapture(const PlayLogCapture&) = delete;
    PlayLogCapture& operator=(const PlayLogCapture&) = delete;
    // Everything logged since the capture began.
    std::string Text() const;
    // How often `message` was logged.
    int Count(const std::string& message) const;

private:
    TempDir m_dir;
    ScopedEnv m_env;
};

// printf into a std::string, for the log's formats.
std::string Format(const char* format, ...);

// Descriptors open in this process now.
int OpenDescriptors();

// "fmt " bodies: 32-bit IEEE float, and WAVE_FORMAT_EXTENSIBLE with a PCM
// (tag 1) or float (tag 3) sub-format.
Bytes FloatFormat(uint16_t channels, uint32_t samplesPerSec);
Bytes ExtensibleFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample,
                       uint16_t subFormatTag);
// A whole WAVE file from a "fmt " body and the data chunk's bytes.
Bytes WaveFile(const Bytes& formatBody, const Bytes& data);
// The byte rate of a "fmt " body.
uint32_t ByteRateOf(const Bytes& formatBody);

} // namespace kxtest
