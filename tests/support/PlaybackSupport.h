// SPDX-License-Identifier: MIT
// Helpers of the playback suites: WAVE files in every format the player is
// tried with.
#pragma once

#include "platform/platform.h"
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

// Prepares a header over `data` and writes it to the device.
void QueueHeader(HWAVEOUT device, WAVEHDR& header, Bytes& data);
// Unprepares until the device has returned the header; the milliseconds it
// took (a test failure after `limitMs`).
DWORD WaitReturned(HWAVEOUT device, WAVEHDR& header, DWORD limitMs = 10000);

} // namespace kxtest
