// SPDX-License-Identifier: MIT
#include "support/RecordingFormats.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/platform.h"
#endif

namespace kxtest {

// The speaker masks are Windows' KSAUDIO_SPEAKER_MONO, _STEREO and _5POINT1.
const RecordingFormat kRecordingFormats[10] = {
    {"8000_1_16", 8000, 1, 16, 960, 0},
    {"16000_1_16", 16000, 1, 16, 1920, 0},
    {"44100_2_16", 44100, 2, 16, 2646 * 4, 0},
    {"48000_2_24", 48000, 2, 24, 2880 * 6, 0x3},
    {"96000_2_32", 96000, 2, 32, 5760 * 8, 0x3},
    {"22050_1_8", 22050, 1, 8, 1323, 0},
    {"48000_6_16", 48000, 6, 16, 2880 * 12, 0x3F},
    {"refused_rate_7999", 7999, 1, 16, 0, 0},
    {"refused_no_channel", 8000, 0, 16, 0, 0},
    {"refused_12_bits", 8000, 1, 12, 0, 0},
};

namespace {

constexpr DWORD kRecordMs = 1000;
constexpr DWORD kStopPauseMs = 1500;
// What a recording may hold beyond the time measured around it: the clocks'
// granularity.
constexpr DWORD kClockSlackMs = 100;

// Checks the completed recording `file` of `format`: its whole header (the
// extensible fields included), sizes that match the file, whole buffers, and
// from minMs to maxMs of sound. Returns the data.
Bytes CheckedRecording(const Bytes& file, const RecordingFormat& format, uint32_t minMs,
                       uint32_t maxMs) {
    const bool extensible = format.channelMask != 0;
    const size_t headerSize = extensible ? 68 : 44;
    if (file.size() < headerSize) {
        ADD_FAILURE() << "the file holds " << file.size() << " bytes, less than its header";
        return {};
    }
    const auto dataBytes = static_cast<uint32_t>(file.size() - headerSize);
    const auto channels = static_cast<uint16_t>(format.channels);
    const auto bits = static_cast<uint16_t>(format.bitsPerSample);
    RiffWriter expected;
    expected.Tag("RIFF").U32(static_cast<uint32_t>(file.size() - 8)).Tag("WAVE").Tag("fmt ");
    expected.U32(extensible ? 40 : 16).U16(extensible ? 0xFFFE : 1).U16(channels);
    expected.U32(static_cast<uint32_t>(format.samplesPerSec)).U32(format.ByteRate());
    expected.U16(static_cast<uint16_t>(channels * bits / 8)).U16(bits);
    if (extensible) // 22 more bytes: every bit valid, the speakers, KSDATAFORMAT_SUBTYPE_PCM
        expected.U16(22)
            .U16(bits)
            .U32(format.channelMask)
            .U32(1)
            .U16(0)
            .U16(0x10)
            .Raw({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    expected.Tag("data").U32(dataBytes);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + static_cast<long>(headerSize)), expected.bytes());
    EXPECT_EQ(dataBytes % format.bufferBytes, 0u) << "whole buffers of 60 ms";
    EXPECT_GE(dataBytes, uint64_t{format.ByteRate()} * minMs / 1000);
    EXPECT_LE(dataBytes, uint64_t{format.ByteRate()} * maxMs / 1000);
    return Bytes(file.begin() + static_cast<long>(headerSize), file.end());
}

} // namespace

Bytes RecordOneRow(const RecorderCalls& calls, const RecordingFormat& format,
                   const std::string& path) {
    const Bytes before = {'k', 'e', 'e', 'p'};
    WriteFile(path, before);
    const DWORD began = GetTickCount();
    const int started = calls.startRecFileFormat(path.c_str(), format.samplesPerSec,
                                                 format.channels, format.bitsPerSample);
    if (!format.Recordable()) {
        EXPECT_EQ(started, KX_REC_NOT_STARTED);
        EXPECT_EQ(calls.recordStatus(), KX_REC_IDLE) << "no stop needed";
        EXPECT_EQ(ReadFile(path), before) << "the file is left as it was";
        return {};
    }
    EXPECT_EQ(started, KX_REC_STARTED);
    EXPECT_EQ(calls.recordStatus(), KX_REC_RECORDING);
    Sleep(kRecordMs);
    EXPECT_EQ(calls.stopRecFile(), KX_REC_COMPLETED);
    const DWORD ran = GetTickCount() - began - kStopPauseMs + kClockSlackMs;
    const Bytes data = CheckedRecording(ReadFile(path), format, kRecordMs / 2, ran);
    EXPECT_EQ(calls.startPlayFile(path.c_str()), KX_PLAY_STARTED);
    EXPECT_EQ(calls.stopPlayFile(), KX_PLAY_STOPPED);
    return data;
}

} // namespace kxtest
