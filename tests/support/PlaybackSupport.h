// Helpers of the playback suites: WAVE files in every format the player is
// tried with.
#pragma once

#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <string>

namespace kxtest {

// printf into a std::string, for the log's formats.
std::string Format(const char* format, ...);

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
