// SPDX-License-Identifier: MIT
#include "support/PlaybackSupport.h"

#include <cstdarg>
#include <gtest/gtest.h>
#include <cstdio>

namespace kxtest {

std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

Bytes FloatFormat(uint16_t channels, uint32_t samplesPerSec) {
    const uint16_t blockAlign = uint16_t(channels * 4);
    RiffWriter body;
    body.U16(3).U16(channels).U32(samplesPerSec).U32(samplesPerSec * blockAlign).U16(blockAlign);
    body.U16(32).U16(0);
    return body.bytes();
}

Bytes ExtensibleFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample,
                       uint16_t subFormatTag) {
    const uint16_t blockAlign = uint16_t(channels * bitsPerSample / 8);
    RiffWriter body;
    body.U16(0xFFFE).U16(channels).U32(samplesPerSec).U32(samplesPerSec * blockAlign);
    body.U16(blockAlign).U16(bitsPerSample).U16(22);
    body.U16(bitsPerSample).U32(channels == 2 ? 3 : 4); // valid bits, channel mask
    body.U32(subFormatTag).U16(0x0000).U16(0x0010);
    body.Raw({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    return body.bytes();
}

Bytes WaveFile(const Bytes& formatBody, const Bytes& data) {
    RiffWriter chunks;
    chunks.Chunk("fmt ", formatBody).Chunk("data", data);
    return RiffWriter::Riff("WAVE", chunks.bytes());
}

uint32_t ByteRateOf(const Bytes& formatBody) { return ReadLe32(formatBody, 8); }

void QueueHeader(HWAVEOUT device, WAVEHDR& header, Bytes& data) {
    header = WAVEHDR{};
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = static_cast<DWORD>(data.size());
    ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
}

DWORD WaitReturned(HWAVEOUT device, WAVEHDR& header, DWORD limitMs) {
    const DWORD start = GetTickCount();
    while (waveOutUnprepareHeader(device, &header, sizeof header) == WAVERR_STILLPLAYING) {
        if (GetTickCount() - start > limitMs) {
            ADD_FAILURE() << "header not returned after " << limitMs << " ms";
            break;
        }
        Sleep(2);
    }
    return GetTickCount() - start;
}

} // namespace kxtest
