// SPDX-License-Identifier: MIT
// The ALSA backends: the sample formats they map, the device lists that
// KALDRIX_AUDIO gives with ALSA pointed at no device, and, against the
// private PulseAudio server of scripts/audio-rig.sh through ALSA's pulse
// plugin, what reaches the server's sink and what is recorded from what was
// fed to it. Every test checks that it leaves no ALSA PCM, worker thread or
// device handle behind, and that nothing reached stderr.
#include "kaldrix.h"
#include "log/LogText.h"
#include "platform/platform.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/audio/AlsaBackend.h"
#include "winapi/testing/AlsaTestInterface.h"
#include "winapi/testing/WaveInTestInterface.h"
#include "winapi/testing/WaveOutTestInterface.h"
#include "support/AudioRig.h"
#include "support/Leftovers.h"
#include "support/LogCapture.h"
#include "support/PlaybackSupport.h"
#include "support/RecordingFormats.h"
#include "support/ThreadProbe.h"

#include <algorithm>
#include <csignal>
#include <future>
#include <memory>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <atomic>

namespace {

using kxtest::Bytes;
using Records = std::vector<std::string>;

constexpr DWORD kByteRate = 16000; // 8000 Hz, 16-bit mono
constexpr size_t kProbe = 64;      // bytes that find a piece of data in a stream

WAVEFORMATEX Mono16() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 8000;
    format.nAvgBytesPerSec = kByteRate;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    return format;
}

Bytes Concat(const Bytes& first, const Bytes& second) {
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    return both;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t size) {
    from = std::min(from, bytes.size());
    size = std::min(size, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + size));
}

// Where `data` begins in `stream` (searched from `from`), or npos.
size_t Locate(const Bytes& stream, const Bytes& data, size_t from = 0) {
    return kxtest::FindBytes(stream, Slice(data, 0, kProbe), from);
}

// How many bytes at `at` in `stream` agree with the start of `data`.
size_t CommonPrefix(const Bytes& stream, size_t at, const Bytes& data) {
    size_t count = 0;
    while (at + count < stream.size() && count < data.size() && stream[at + count] == data[count])
        ++count;
    return count;
}

bool AllZero(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0; });
}

void WaitPlayEnd(DWORD limitMs = 15000) {
    const DWORD start = GetTickCount();
    while (KxPlayStatus() != 0) {
        if (GetTickCount() - start > limitMs) {
            ADD_FAILURE() << "still playing after " << limitMs << " ms";
            return;
        }
    }
}

// The data of a recording whose header is complete.
Bytes RecordedData(const std::string& path) {
    const Bytes file = kxtest::ReadFile(path);
    if (file.size() < 44) {
        ADD_FAILURE() << path << " holds " << file.size() << " bytes";
        return {};
    }
    EXPECT_EQ(kxtest::ReadLe32(file, 4), file.size() - 8);
    EXPECT_EQ(kxtest::ReadLe32(file, 40), file.size() - 44);
    return Bytes(file.begin() + 44, file.end());
}

// KALDRIX_AUDIO=alsa, a private log, stderr kept; each test must leave
// nothing open and nothing on stderr.
class AlsaFixture : public ::testing::Test {
protected:
    void TearDown() override {
        if (IsSkipped())
            return;
        ExpectNothingHeld();
        EXPECT_EQ(m_stderr.Text(), "") << "ALSA and its plugins must not write to stderr";
    }

    static void ExpectNothingHeld() {
        EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
        EXPECT_EQ(kxtest::OpenWaveInDevices(), 0u);
        EXPECT_EQ(kxtest::OpenAlsaPcms(), 0);
        EXPECT_EQ(kxtest::RunningAlsaThreads(), 0);
    }

    std::string Path(const char* name) const { return m_dir.File(name); }

    // Plays `fed` into the server's input until the test ends.
    void Feed(const Bytes& fed) {
        kxtest::WriteFile(Path("fed.raw"), fed);
        m_feed = std::make_unique<kxtest::FeedPlayer>(Path("fed.raw"));
        ASSERT_TRUE(m_feed->started());
    }

    std::string Wave(const char* name, const Bytes& data) const {
        kxtest::WriteFile(Path(name), kxtest::PcmWave(1, 8000, 16, data));
        return Path(name);
    }

    kxtest::StderrCapture m_stderr;
    kxtest::TempDir m_dir;
    kxtest::ScopedEnv m_audio{"KALDRIX_AUDIO", "alsa"};
    kxtest::LogCapture m_log;
    std::unique_ptr<kxtest::FeedPlayer> m_feed;
};

// ---- without the server ----

TEST(AlsaFormats, EachWaveFormatMapsToTheAlsaFormatOfTheSameBytesOrNone) {
    const auto extensible = [](WORD bits, WORD validBits, DWORD subFormatTag, WORD cbSize = 22) {
        WAVEFORMATEXTENSIBLE format{};
        format.Format = Mono16();
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.nChannels = 2;
        format.Format.wBitsPerSample = bits;
        format.Format.nBlockAlign = static_cast<WORD>(2 * bits / 8);
        format.Format.cbSize = cbSize;
        format.Samples.wValidBitsPerSample = validBits;
        format.SubFormat =
            GUID{subFormatTag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
        return format;
    };
    const auto pcm = [](WORD tag, WORD channels, WORD bits, WORD blockAlign) {
        WAVEFORMATEXTENSIBLE format{};
        format.Format = Mono16();
        format.Format.wFormatTag = tag;
        format.Format.nChannels = channels;
        format.Format.wBitsPerSample = bits;
        format.Format.nBlockAlign = blockAlign;
        return format;
    };
    WAVEFORMATEXTENSIBLE strangeGuid = extensible(16, 16, WAVE_FORMAT_PCM);
    strangeGuid.SubFormat.Data4[7] = 0x72;
    const struct {
        const char* name;
        WAVEFORMATEXTENSIBLE format;
        snd_pcm_format_t expected;
    } cases[] = {
        {"pcm 8", pcm(WAVE_FORMAT_PCM, 1, 8, 1), SND_PCM_FORMAT_U8},
        {"pcm 16 stereo", pcm(WAVE_FORMAT_PCM, 2, 16, 4), SND_PCM_FORMAT_S16_LE},
        {"pcm 24 packed", pcm(WAVE_FORMAT_PCM, 1, 24, 3), SND_PCM_FORMAT_S24_3LE},
        {"pcm 32", pcm(WAVE_FORMAT_PCM, 1, 32, 4), SND_PCM_FORMAT_S32_LE},
        {"float 32", pcm(WAVE_FORMAT_IEEE_FLOAT, 1, 32, 4), SND_PCM_FORMAT_FLOAT_LE},
        {"extensible 24 in 32", extensible(32, 24, WAVE_FORMAT_PCM), SND_PCM_FORMAT_S24_LE},
        {"extensible 16", extensible(16, 16, WAVE_FORMAT_PCM), SND_PCM_FORMAT_S16_LE},
        {"extensible float", extensible(32, 32, WAVE_FORMAT_IEEE_FLOAT), SND_PCM_FORMAT_FLOAT_LE},
        {"pcm 12", pcm(WAVE_FORMAT_PCM, 1, 12, 2), SND_PCM_FORMAT_UNKNOWN},
        {"float 64", pcm(WAVE_FORMAT_IEEE_FLOAT, 1, 64, 8), SND_PCM_FORMAT_UNKNOWN},
        {"block align off", pcm(WAVE_FORMAT_PCM, 2, 16, 2), SND_PCM_FORMAT_UNKNOWN},
        {"no channels", pcm(WAVE_FORMAT_PCM, 0, 16, 0), SND_PCM_FORMAT_UNKNOWN},
        {"a-law", pcm(6, 1, 8, 1), SND_PCM_FORMAT_UNKNOWN},
        {"extensible 20 in 24", extensible(24, 20, WAVE_FORMAT_PCM), SND_PCM_FORMAT_UNKNOWN},
        {"extensible short", extensible(16, 16, WAVE_FORMAT_PCM, 20), SND_PCM_FORMAT_UNKNOWN},
        {"extensible a-law", extensible(8, 8, 6), SND_PCM_FORMAT_UNKNOWN},
        {"extensible strange guid", strangeGuid, SND_PCM_FORMAT_UNKNOWN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AlsaFormatOf(c.format.Format), c.expected) << c.name;
    }
}

using AlsaWithoutDevice = AlsaFixture;

// The configured PCM is listed unopened; the one open of a start finds it
// missing, and the engines answer as without a device.
TEST_F(AlsaWithoutDevice, AlsaAndAutoFailAtTheOpenAndTheEnginesFailAsWithout) {
    kxtest::AlsaWithoutDevices noDevice;
    const WAVEFORMATEX format = Mono16();
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    HWAVEOUT out = nullptr;
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    HWAVEIN in = nullptr;
    EXPECT_NE(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);

    const int opensBefore = kxtest::TriedAlsaOpens();
    EXPECT_EQ(KxStartPlayFile(Wave("a.wav", kxtest::Pattern(3200)).c_str()), -1);
    EXPECT_EQ(m_log.Records(), Records{kxtest::Format(LogText::kPlayDeviceOpenError, 1)});
    EXPECT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 0);
    EXPECT_EQ(kxtest::TriedAlsaOpens() - opensBefore, 2) << "one open a start";
    EXPECT_EQ(m_log.Records(), (Records{kxtest::Format(LogText::kPlayDeviceOpenError, 1),
                                        LogText::kRecDeviceOpenError}));
    EXPECT_EQ(KxStopRecFile(), 1);

    // "auto" is ALSA: no stand-in when ALSA's device does not open.
    for (const char* choice : {"auto", ""}) {
        kxtest::ScopedEnv audio("KALDRIX_AUDIO", choice);
        WAVEOUTCAPSA caps{};
        EXPECT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR) << choice;
        EXPECT_STREQ(caps.szPname, "ALSA default device") << choice;
        EXPECT_EQ(KxStartPlayFile(Wave("a.wav", kxtest::Pattern(3200)).c_str()), -1) << choice;
    }
}

// ---- against the server ----

class AlsaServerFixture : public AlsaFixture {
protected:
    void SetUp() override {
        if (!kxtest::AudioRigRunning())
            GTEST_SKIP() << "no audio server: run ctest --preset native -L alsa";
    }
};

using AlsaServer = AlsaServerFixture;
using AlsaRealTime = AlsaServerFixture;
using AlsaUnderLoad = AlsaServerFixture;

TEST_F(AlsaServer, AlsaAndAutoOfferTheDefaultPcmFirstAndQueriesOpenNothing) {
    for (const char* choice : {"alsa", "auto", ""}) {
        kxtest::ScopedEnv audio("KALDRIX_AUDIO", choice);
        ASSERT_GE(waveOutGetNumDevs(), 1u) << choice;
        ASSERT_GE(waveInGetNumDevs(), 1u) << choice;
        WAVEOUTCAPSA outCaps{};
        ASSERT_EQ(waveOutGetDevCapsA(0, &outCaps, sizeof outCaps), MMSYSERR_NOERROR);
        EXPECT_STREQ(outCaps.szPname, "ALSA default device") << choice;
        WAVEINCAPSA inCaps{};
        ASSERT_EQ(waveInGetDevCapsA(0, &inCaps, sizeof inCaps), MMSYSERR_NOERROR);
        EXPECT_STREQ(inCaps.szPname, "ALSA default device") << choice;
    }
    WAVEFORMATEX format = Mono16();
    EXPECT_EQ(waveOutOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    format.wBitsPerSample = 12;
    EXPECT_EQ(waveOutOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    EXPECT_EQ(waveInOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    EXPECT_EQ(kxtest::OpenAlsaPcms(), 0);
}

TEST_F(AlsaRealTime, PlayedFileReachesTheSinkByteExact) {
    const Bytes data = kxtest::Pattern(kByteRate, 11);
    const std::string path = Wave("a.wav", data);
    kxtest::SinkRecorder sink(Path("played.raw"));
    ASSERT_TRUE(sink.WaitStreaming());
    ASSERT_EQ(KxStartPlayFile(path.c_str()), 1);
    WaitPlayEnd();
    const Bytes played = sink.Stop();
    const size_t at = Locate(played, data);
    ASSERT_NE(at, std::string::npos) << "the file's data never reached the sink";
    EXPECT_EQ(CommonPrefix(played, at, data), data.size());
    EXPECT_EQ(Locate(played, data, at + 1), std::string::npos) << "played once";
}

// Two headers that split a frame between them, then a pause long enough for
// the PCM to run dry, then a header of an odd length.
TEST_F(AlsaRealTime, HeadersAreDoneWhenHeardAndTheStreamGoesOnAfterAnUnderrun) {
    Bytes first = kxtest::Pattern(1601, 21);
    Bytes second = kxtest::Pattern(999, 22);
    Bytes third = kxtest::Pattern(3201, 23);
    kxtest::SinkRecorder sink(Path("played.raw"));
    ASSERT_TRUE(sink.WaitStreaming());
    const WAVEFORMATEX format = Mono16();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    WAVEHDR headers[3];
    const DWORD start = GetTickCount();
    kxtest::QueueHeader(out, headers[0], first);
    kxtest::QueueHeader(out, headers[1], second);
    kxtest::WaitReturned(out, headers[1]);
    EXPECT_GE(GetTickCount() - start, 130u)
        << "2600 bytes last 162 ms: the header is done when heard, not when written";
    EXPECT_EQ(waveOutUnprepareHeader(out, &headers[0], sizeof headers[0]), MMSYSERR_NOERROR);
    Sleep(400);
    const int recovered = kxtest::RecoveredAlsaXruns();
    kxtest::QueueHeader(out, headers[2], third);
    kxtest::WaitReturned(out, headers[2]);
    EXPECT_GT(kxtest::RecoveredAlsaXruns(), recovered) << "the PCM did not under-run";
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    Sleep(200);
    const Bytes played = sink.Stop();

    const Bytes joined = Concat(first, second);
    const size_t at = Locate(played, joined);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(CommonPrefix(played, at, joined), joined.size());
    const size_t thirdAt = Locate(played, third, at + joined.size());
    ASSERT_NE(thirdAt, std::string::npos) << "nothing played after the under-run";
    EXPECT_EQ(CommonPrefix(played, thirdAt, third), third.size());
    EXPECT_TRUE(AllZero(Slice(played, at + joined.size(), thirdAt - at - joined.size())));
}

TEST_F(AlsaRealTime, ResetDropsWhatIsQueuedAtOnceAndTheStreamPlaysOn) {
    Bytes longer = kxtest::Pattern(3 * kByteRate, 31);
    Bytes after = kxtest::Pattern(3200, 32);
    kxtest::SinkRecorder sink(Path("played.raw"));
    ASSERT_TRUE(sink.WaitStreaming());
    const WAVEFORMATEX format = Mono16();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    WAVEHDR header;
    const DWORD start = GetTickCount();
    kxtest::QueueHeader(out, header, longer);
    Sleep(400);
    EXPECT_EQ(kxtest::RunningAlsaThreads(), 1);
    EXPECT_EQ(kxtest::OpenAlsaPcms(), 1);
    const DWORD resetAt = GetTickCount();
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    const DWORD resetDone = GetTickCount();
    EXPECT_LT(resetDone - resetAt, 1000u);
    EXPECT_TRUE(header.dwFlags & WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    Sleep(600);
    kxtest::QueueHeader(out, header, after);
    kxtest::WaitReturned(out, header);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    Sleep(200);
    const Bytes played = sink.Stop();

    const size_t at = Locate(played, longer);
    ASSERT_NE(at, std::string::npos);
    const size_t heard = CommonPrefix(played, at, longer);
    EXPECT_GE(heard, 1600u) << "100 ms at least were played before the reset";
    EXPECT_LE(heard, (resetDone - start + 100) * kByteRate / 1000)
        << "the PCM's buffer was dropped at the reset, not played out";
    const size_t afterAt = Locate(played, after, at + heard);
    ASSERT_NE(afterAt, std::string::npos) << "nothing played after the reset";
    EXPECT_EQ(CommonPrefix(played, afterAt, after), after.size());
    EXPECT_TRUE(AllZero(Slice(played, at + heard, afterAt - at - heard)))
        << "nothing of the dropped data came after the reset";
}

TEST_F(AlsaRealTime, StopDuringPlaybackClosesTheDeviceAndEndsItsThread) {
    const Bytes data = kxtest::Pattern(3 * kByteRate, 41);
    const std::string path = Wave("a.wav", data);
    kxtest::SinkRecorder sink(Path("played.raw"));
    ASSERT_TRUE(sink.WaitStreaming());
    ASSERT_EQ(KxStartPlayFile(path.c_str()), 1);
    Sleep(500);
    const unsigned handles = kxtest::OpenHandleCount();
    EXPECT_EQ(kxtest::RunningAlsaThreads(), 1);
    EXPECT_EQ(kxtest::OpenAlsaPcms(), 1);
    EXPECT_EQ(KxStopPlayFile(), 0);
    EXPECT_EQ(KxPlayStatus(), 0);
    ExpectNothingHeld();
    EXPECT_EQ(kxtest::OpenHandleCount(), handles - 1) << "the play thread's handle is closed";
    Sleep(200);
    const Bytes played = sink.Stop();
    const size_t at = Locate(played, data);
    ASSERT_NE(at, std::string::npos);
    const size_t heard = CommonPrefix(played, at, data);
    EXPECT_LT(heard, 2 * kByteRate) << "the stop came 2.5 s before the end";
    EXPECT_TRUE(AllZero(Slice(played, at + heard, played.size())));
}

TEST_F(AlsaRealTime, RecordingIsAnExactContinuousSliceOfWhatWasFed) {
    const Bytes fed = kxtest::Pattern(4 * kByteRate, 51);
    ASSERT_NO_FATAL_FAILURE(Feed(fed));
    Sleep(500);
    ASSERT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 1);
    Sleep(300);
    EXPECT_EQ(kxtest::RunningAlsaThreads(), 1);
    EXPECT_EQ(kxtest::OpenAlsaPcms(), 1);
    Sleep(700);
    EXPECT_EQ(KxStopRecFile(), 1);
    ExpectNothingHeld();
    const Bytes data = RecordedData(Path("rec.wav"));
    EXPECT_GE(data.size(), 8u * 960) << "1 s at 16000 bytes/s";
    const size_t at = Locate(fed, data);
    ASSERT_NE(at, std::string::npos) << "the recording is not from the feed";
    EXPECT_EQ(CommonPrefix(fed, at, data), data.size());
}

class AlsaRecordingFormats : public AlsaServerFixture,
                             public ::testing::WithParamInterface<kxtest::RecordingFormat> {};

// The format table through the server, which converts its 8000 Hz 16-bit
// mono source to each format: a recording of that one is a slice of what was
// fed.
TEST_P(AlsaRecordingFormats, RecordsTheFormatAskedForOrRefusesItAtOnce) {
    const kxtest::RecordingFormat& format = GetParam();
    const Bytes fed = kxtest::Pattern(4 * kByteRate, 81);
    if (format.Recordable()) {
        ASSERT_NO_FATAL_FAILURE(Feed(fed));
        Sleep(500);
    }
    const Bytes data = kxtest::RecordOneRow(
        {KxStartRecFileFormat, KxStopRecFile, KxRecordStatus, KxStartPlayFile, KxStopPlayFile},
        format, Path("rec.wav"));
    if (format.ByteRate() == kByteRate && format.channels == 1) {
        const size_t at = Locate(fed, data);
        ASSERT_NE(at, std::string::npos) << "the recording is not from the feed";
        EXPECT_EQ(CommonPrefix(fed, at, data), data.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AlsaRecordingFormats,
                         ::testing::ValuesIn(kxtest::kRecordingFormats),
                         [](const ::testing::TestParamInfo<kxtest::RecordingFormat>& info) {
                             return std::string(info.param.name);
                         });

// The reader stalls for more than three times the PCM's buffer, as on a
// machine too busy to read in time: the recording catches up and is still
// one exact slice of the feed, as long as the time it ran.
TEST_F(AlsaRealTime, ReaderThatFallsBehindCatchesUpWithoutLosingAByte) {
    const Bytes fed = kxtest::Pattern(5 * kByteRate, 71);
    ASSERT_NO_FATAL_FAILURE(Feed(fed));
    Sleep(500);
    ASSERT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 1);
    Sleep(400);
    kxtest::StallAlsaCapture(700);
    Sleep(1600);
    EXPECT_EQ(KxStopRecFile(), 1);
    const Bytes data = RecordedData(Path("rec.wav"));
    EXPECT_GE(data.size(), 25u * 960) << "2 s at 16000 bytes/s";
    const size_t at = Locate(fed, data);
    ASSERT_NE(at, std::string::npos) << "the recording is not from the feed";
    EXPECT_EQ(CommonPrefix(fed, at, data), data.size());
}

// A small header comes back within a capture period (512 ms) of being full,
// a large one at the reset with what it holds; together they are a
// continuous slice of the feed.
TEST_F(AlsaRealTime, WaveInReturnsFullHeadersAndAtTheResetThePartlyFilledOne) {
    const Bytes fed = kxtest::Pattern(4 * kByteRate, 61);
    ASSERT_NO_FATAL_FAILURE(Feed(fed));
    Sleep(400);
    const WAVEFORMATEX format = Mono16();
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Bytes small(960), large(2 * kByteRate);
    WAVEHDR headers[2] = {};
    headers[0].lpData = reinterpret_cast<LPSTR>(small.data());
    headers[0].dwBufferLength = static_cast<DWORD>(small.size());
    headers[1].lpData = reinterpret_cast<LPSTR>(large.data());
    headers[1].dwBufferLength = static_cast<DWORD>(large.size());
    for (WAVEHDR& header : headers) {
        ASSERT_EQ(waveInPrepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &header, sizeof header), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    const DWORD started = GetTickCount();
    // The device's thread sets these fields: read as atomically as written.
    while (!(__atomic_load_n(&headers[0].dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE) &&
           GetTickCount() - started < 1500)
        Sleep(10);
    EXPECT_TRUE(__atomic_load_n(&headers[0].dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE)
        << "full after 60 ms, not back 1.5 s later";
    EXPECT_EQ(__atomic_load_n(&headers[0].dwBytesRecorded, __ATOMIC_ACQUIRE), small.size());
    EXPECT_FALSE(__atomic_load_n(&headers[1].dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE);
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_TRUE(headers[1].dwFlags & WHDR_DONE);
    const DWORD partial = headers[1].dwBytesRecorded;
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, large.size());
    EXPECT_EQ(partial % 2, 0u);
    for (WAVEHDR& header : headers)
        EXPECT_EQ(waveInUnprepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    const Bytes recorded = Concat(small, Slice(large, 0, partial));
    const size_t at = Locate(fed, recorded);
    ASSERT_NE(at, std::string::npos) << "the recording is not from the feed";
    EXPECT_EQ(CommonPrefix(fed, at, recorded), recorded.size());
}

// A capture reads a period (512 ms) at a time and hands it out to the headers
// as they come: what one header did not take goes to the next ones, at a
// reset too, and what no header took when the reset came is dropped, not
// recorded after the next start.
TEST_F(AlsaRealTime, WhatAPeriodBroughtGoesToTheNextHeadersAndAResetDropsTheRest) {
    const Bytes fed = kxtest::Pattern(6 * kByteRate, 62);
    ASSERT_NO_FATAL_FAILURE(Feed(fed));
    Sleep(400);
    const WAVEFORMATEX format = Mono16();
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Bytes data[4] = {Bytes(960), Bytes(960), Bytes(960), Bytes(960)};
    WAVEHDR headers[4] = {};
    const auto add = [&](int i) {
        headers[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
        headers[i].dwBufferLength = static_cast<DWORD>(data[i].size());
        ASSERT_EQ(waveInPrepareHeader(in, &headers[i], sizeof headers[i]), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &headers[i], sizeof headers[i]), MMSYSERR_NOERROR);
    };
    const auto wait = [&](int i) {
        const DWORD begun = GetTickCount();
        while (!(__atomic_load_n(&headers[i].dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE) &&
               GetTickCount() - begun < 3000)
            Sleep(10);
        EXPECT_EQ(__atomic_load_n(&headers[i].dwBytesRecorded, __ATOMIC_ACQUIRE), 960u) << i;
    };
    ASSERT_NO_FATAL_FAILURE(add(0));
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    wait(0); // its wake-up read far more than 960 bytes
    ASSERT_NO_FATAL_FAILURE(add(1));
    ASSERT_NO_FATAL_FAILURE(add(2));
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    wait(1);
    wait(2);
    Sleep(300);
    ASSERT_NO_FATAL_FAILURE(add(3));
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    wait(3);
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (WAVEHDR& header : headers)
        EXPECT_EQ(waveInUnprepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    const Bytes before = Concat(Concat(data[0], data[1]), data[2]);
    const size_t at = Locate(fed, before);
    ASSERT_NE(at, std::string::npos) << "the recording is not from the feed";
    EXPECT_EQ(CommonPrefix(fed, at, before), before.size()) << "lost between headers";
    const size_t after = Locate(fed, data[3], at);
    ASSERT_NE(after, std::string::npos);
    EXPECT_GE(after, at + before.size() + 200 * kByteRate / 1000)
        << "what the reset found staged was recorded after the next start";
}

// An xrun or a suspend reported by the device (injected into the wrapper: the
// pulse plugin never reports a suspend against a private server) is
// recovered, and the stream goes on: playback to its end, recording growing.
TEST_F(AlsaRealTime, XrunsAndSuspendsAreRecoveredAndTheStreamGoesOn) {
    const Bytes fed = kxtest::Pattern(4 * kByteRate, 91);
    ASSERT_NO_FATAL_FAILURE(Feed(fed));
    for (const int error : {-EPIPE, -ESTRPIPE}) {
        for (const bool recording : {false, true}) {
            SCOPED_TRACE(
                kxtest::Format("%s, error %d", recording ? "recording" : "playing", error));
            const int recovered = kxtest::RecoveredAlsaXruns();
            if (recording)
                ASSERT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 1);
            else
                ASSERT_EQ(
                    KxStartPlayFile(Wave("a.wav", kxtest::Pattern(3 * kByteRate, 92)).c_str()), 1);
            Sleep(300);
            kxtest::FailNextAlsaTransfer(error);
            Sleep(1500); // a 1 s playback period, a 512 ms capture period
            EXPECT_EQ(kxtest::RecoveredAlsaXruns(), recovered + 1);
            if (recording) {
                EXPECT_EQ(KxStopRecFile(), 1);
                EXPECT_GE(RecordedData(Path("rec.wav")).size(), 8u * 960) << "stopped at the error";
            } else {
                WaitPlayEnd();
                EXPECT_EQ(KxStopPlayFile(), 0);
            }
        }
    }
}

// ---- the stream threads ----

WAVEFORMATEX PcmOf(DWORD rate, WORD channels, WORD bits, WORD tag = WAVE_FORMAT_PCM) {
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

// Per format, three headers whose lengths split frames, 600 ms in all: each
// is done in order, none before its time has passed.
TEST_F(AlsaRealTime, EachFormatPlaysAtItsRateWithHeadersThatSplitFrames) {
    const WAVEFORMATEX formats[] = {
        PcmOf(8000, 1, 16),   PcmOf(11025, 1, 8),  PcmOf(22050, 2, 16),
        PcmOf(44100, 2, 16),  PcmOf(48000, 2, 24), PcmOf(32000, 1, 32, WAVE_FORMAT_IEEE_FLOAT),
        PcmOf(192000, 8, 32), // buffers sized from the byte rate stay within their cap
    };
    for (const WAVEFORMATEX& format : formats) {
        SCOPED_TRACE(kxtest::Format("%lu Hz, %u channels, %u bits", format.nSamplesPerSec,
                                    format.nChannels, format.wBitsPerSample));
        HWAVEOUT out = nullptr;
        ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        const DWORD total =
            format.nAvgBytesPerSec * 6 / 10 / format.nBlockAlign * format.nBlockAlign;
        const DWORD first = total / 3 + 1; // ends inside a frame
        const DWORD second = total / 3 - 1;
        Bytes data[3] = {kxtest::Pattern(first, 1), kxtest::Pattern(second, 2),
                         kxtest::Pattern(total - first - second, 3)};
        WAVEHDR headers[3];
        const DWORD start = GetTickCount();
        for (int i = 0; i < 3; ++i)
            kxtest::QueueHeader(out, headers[i], data[i]);
        kxtest::WaitReturned(out, headers[0]);
        EXPECT_TRUE(headers[1].dwFlags & WHDR_INQUEUE) << "the second before the first";
        kxtest::WaitReturned(out, headers[1]);
        kxtest::WaitReturned(out, headers[2]);
        const DWORD took = GetTickCount() - start;
        EXPECT_GE(took, 540u) << "600 ms of sound";
        EXPECT_LT(took, 5000u);
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    }
}

// The threads of open streams that have nothing to do sleep; a playing
// writer wakes about once a period, not on a tick.
TEST_F(AlsaRealTime, StreamThreadsSleepWhileIdleAndWakeByThePeriodWhilePlaying) {
    const WAVEFORMATEX format = Mono16();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Sleep(200);
    const char* const idle[] = {"kx-out-alsa", "kx-in-alsa"};
    long before[2];
    for (int i = 0; i < 2; ++i) {
        const auto ids = kxtest::ThreadIds(idle[i]);
        ASSERT_EQ(ids.size(), 1u) << idle[i];
        before[i] = kxtest::ContextSwitches(ids[0]);
    }
    Sleep(1000);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(kxtest::ContextSwitches(kxtest::ThreadIds(idle[i])[0]), before[i]) << idle[i];
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    // Three seconds of sound in blocks of 16384 bytes, as the player writes.
    Bytes data[3] = {kxtest::Pattern(16384, 1), kxtest::Pattern(16384, 2),
                     kxtest::Pattern(15232, 3)};
    WAVEHDR headers[3];
    for (int i = 0; i < 3; ++i)
        kxtest::QueueHeader(out, headers[i], data[i]);
    Sleep(500);
    const std::string writer = kxtest::ThreadIds("kx-out-alsa")[0];
    const long playing = kxtest::ContextSwitches(writer);
    Sleep(2000);
    // 20 periods a second and the headers' ends, with room for a busy
    // machine; a writer on a 20 ms timeout wakes about 80 times a second.
    EXPECT_LT(kxtest::ContextSwitches(writer) - playing, 2 * 60);
    for (WAVEHDR& header : headers)
        kxtest::WaitReturned(out, header);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// ---- under load ----

// 20 s recorded through the server beside a busy loop on every core: the
// recording is one exact slice of the feed, no byte lost or invented.
TEST_F(AlsaUnderLoad, RecordingBesideABusyLoopOnEveryCoreLosesNoByte) {
    const Bytes fed = kxtest::Pattern(26 * kByteRate, 81);
    ASSERT_NO_FATAL_FAILURE(Feed(fed));
    Sleep(500);
    std::atomic<bool> busy{true};
    std::vector<std::thread> loops;
    for (unsigned core = 0; core < std::max(1u, std::thread::hardware_concurrency()); ++core)
        loops.emplace_back([&busy] {
            while (busy.load(std::memory_order_relaxed)) {
            }
        });
    ASSERT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 1);
    Sleep(20000);
    EXPECT_EQ(KxStopRecFile(), 1);
    busy.store(false);
    for (std::thread& loop : loops)
        loop.join();
    const Bytes data = RecordedData(Path("rec.wav"));
    EXPECT_GE(data.size(), 19u * kByteRate);
    const size_t at = Locate(fed, data);
    ASSERT_NE(at, std::string::npos) << "the recording is not from the feed";
    EXPECT_EQ(CommonPrefix(fed, at, data), data.size());
}

// ---- the server dies ----

// Each test gets an audio server of its own (the rig's script in a folder of
// the test's), killed outright: the fixture's server, which later tests use,
// is never touched.
class AlsaServerLoss : public AlsaServerFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        AlsaServerFixture::SetUp();
        if (IsSkipped())
            return;
        const std::string start = std::string(KALDRIX_SOURCE_DIR) + "/scripts/audio-rig.sh start " +
                                  Path("rig") + " >/dev/null 2>&1";
        ASSERT_EQ(system(start.c_str()), 0) << "the test's own server did not start";
        const Bytes env = kxtest::ReadFile(Path("rig/env.sh"));
        std::string line;
        for (char c : env) {
            if (c != '\n') {
                line += c;
                continue;
            }
            const size_t equals = line.find('=');
            if (line.rfind("export ", 0) == 0 && equals != std::string::npos)
                m_server.push_back(std::make_unique<kxtest::ScopedEnv>(
                    line.substr(7, equals - 7).c_str(), line.substr(equals + 1)));
            line.clear();
        }
    }

    // The test's own server goes with the test, so that no later test shares
    // the machine with it.
    void TearDown() override {
        AlsaServerFixture::TearDown();
        const Bytes pid = kxtest::ReadFile(Path("rig/pulseaudio.pid"));
        if (!pid.empty())
            kill(std::stoi(std::string(pid.begin(), pid.end())), SIGKILL);
    }

    void Signal(int signal) {
        const Bytes pid = kxtest::ReadFile(Path("rig/pulseaudio.pid"));
        ASSERT_EQ(kill(std::stoi(std::string(pid.begin(), pid.end())), signal), 0);
    }

    // Lets a stopped server go on; the device calls left behind then return
    // and close what they held.
    void ResumeAndExpectNothingLeftBehind() {
        Signal(SIGCONT);
        for (int waited = 0; kxtest::AlsaCallsLeftBehind() > 0 && waited < 10000; waited += 50)
            Sleep(50);
        EXPECT_EQ(kxtest::AlsaCallsLeftBehind(), 0);
    }

    std::vector<std::unique_ptr<kxtest::ScopedEnv>> m_server;
};

// The server stopped or killed mid-stream: a recording's stop completes its
// file within about 5 s; a playback stops as fast, or ends by itself when
// the server is gone, and when it is stopped: its block never comes back, so
// the play thread resets the device at the deadline. With both jobs running,
// this test's engine stops first. Once a stopped server goes on, the process
// holds no more threads and descriptors than before the jobs.
TEST_P(AlsaServerLoss, EnginesEndInTimeWhenTheServerStopsOrDies) {
    const bool recording = GetParam();
    const struct {
        const char* name;
        int signal;
        bool bothJobs;
        bool playbackLeftToItself;
    } rows[] = {
        {"server stopped", SIGSTOP, false, false},
        {"server stopped while both jobs run", SIGSTOP, true, false},
        {"server stopped, playback left to itself", SIGSTOP, false, true},
        {"server killed", SIGKILL, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (recording && row.playbackLeftToItself && row.signal == SIGSTOP)
            continue;
        const kxtest::Holdings before = kxtest::CurrentHoldings();
        const bool record = recording || row.bothJobs;
        const bool play = !recording || row.bothJobs;
        if (record) {
            ASSERT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 1);
        }
        if (play) {
            ASSERT_EQ(KxStartPlayFile(Wave("a.wav", kxtest::Pattern(10 * kByteRate, 51)).c_str()),
                      1);
        }
        Sleep(700);
        Signal(row.signal);
        Sleep(300);
        for (const bool stopRecording : {recording, !recording}) {
            if (!(stopRecording ? record : play))
                continue;
            const DWORD begun = GetTickCount();
            if (stopRecording) {
                EXPECT_EQ(KxStopRecFile(), 1);
                EXPECT_EQ(RecordedData(Path("rec.wav")).size() % 960, 0u);
            } else {
                if (row.playbackLeftToItself)
                    WaitPlayEnd(row.signal == SIGKILL ? 20000 : 15000);
                EXPECT_EQ(KxStopPlayFile(), 0);
            }
            if (row.signal == SIGSTOP && !row.playbackLeftToItself) {
                EXPECT_LT(GetTickCount() - begun, 6500u);
            }
        }
        EXPECT_EQ(KxRecordStatus() + KxPlayStatus(), 0);
        if (row.signal == SIGSTOP) {
            ResumeAndExpectNothingLeftBehind();
            EXPECT_EQ(kxtest::Leftovers(before, {}, 5000), "");
        }
    }
}

// With the server stopped, a start answers in about the open's time limit as
// for a device that cannot be opened; the open left behind closes what it
// opened once the server goes on.
TEST_P(AlsaServerLoss, StartAnswersInTimeWhileTheServerIsStopped) {
    const bool recording = GetParam();
    Signal(SIGSTOP);
    const DWORD begun = GetTickCount();
    if (recording) {
        EXPECT_EQ(KxStartRecFile(Path("rec.wav").c_str()), 0);
        EXPECT_EQ(m_log.Records(), Records{LogText::kRecDeviceOpenError});
    } else {
        EXPECT_EQ(KxStartPlayFile(Wave("a.wav", kxtest::Pattern(3200)).c_str()), -1);
        EXPECT_EQ(m_log.Records(), Records{kxtest::Format(LogText::kPlayDeviceOpenError, 1)});
    }
    EXPECT_LT(GetTickCount() - begun, 6000u);
    EXPECT_EQ(kxtest::AlsaCallsLeftBehind(), 1);
    ResumeAndExpectNothingLeftBehind();
    if (recording)
        KxStopRecFile(); // a failed start keeps the recording flag until the stop
}

// When the start of a stream (the first write of a playback, waveInStart of
// a capture) cannot reach the server, because the server is stopped or no
// thread is to be had for the device call, it answers within the device
// calls' time limit, the stream meets a lost device, and it still resets and
// closes at once.
TEST_P(AlsaServerLoss, StreamStartAnswersInTimeWhenItCannotReachTheServer) {
    const WAVEFORMATEX format = Mono16();
    Bytes data = kxtest::Pattern(3200, 53);
    for (const bool serverStopped : {false, true}) {
        SCOPED_TRACE(serverStopped ? "server stopped" : "no thread for the call");
        WAVEHDR header{};
        header.lpData = reinterpret_cast<LPSTR>(data.data());
        header.dwBufferLength = static_cast<DWORD>(data.size());
        HWAVEOUT out = nullptr;
        HWAVEIN in = nullptr;
        if (GetParam()) {
            ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInPrepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInAddBuffer(in, &header, sizeof header), MMSYSERR_NOERROR);
        } else {
            ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL),
                      MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
        }
        if (serverStopped)
            Signal(SIGSTOP);
        else
            kxtest::FailNextAlsaHelperStart();
        const DWORD begun = GetTickCount();
        if (in) {
            EXPECT_EQ(waveInStart(in), MMSYSERR_NOERROR);
            EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
            EXPECT_EQ(waveInUnprepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
            EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
        } else {
            EXPECT_EQ(waveOutWrite(out, &header, sizeof header), MMSYSERR_NOERROR);
            EXPECT_EQ(waveOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NODRIVER);
            EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
            EXPECT_EQ(waveOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
            EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        }
        EXPECT_LT(GetTickCount() - begun, 3500u);
        EXPECT_EQ(kxtest::AlsaCallsLeftBehind(), serverStopped ? 1 : 0);
    }
    ResumeAndExpectNothingLeftBehind();
}

INSTANTIATE_TEST_SUITE_P(Engines, AlsaServerLoss, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Recording" : "Playing");
                         });

} // namespace
