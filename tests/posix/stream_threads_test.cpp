// SPDX-License-Identifier: MIT
// The library's own threads on the virtual devices: each carries a name that
// says whose it is, a stream's thread sleeps while its device is idle, and
// the virtual clock runs at the speed KALDRIX_VIRTUAL_SPEED asks for.
#include "kaldrix.h"
#include "support/PlaybackSupport.h"
#include "support/ThreadProbe.h"

#include <gtest/gtest.h>

namespace {

using kxtest::Bytes;
using Names = std::vector<std::string>;
using kxtest::HasThread;

WAVEFORMATEX Mono16(DWORD rate) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = rate * 2;
    return format;
}

struct Job {
    const char* what;
    bool (*start)(const std::string& folder);
    void (*stop)();
    Names threads;
};

bool StartPlaying(const std::string& folder) {
    const std::string path = folder + "/tone.wav";
    kxtest::WriteFile(path, kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(32000)));
    return KxStartPlayFile(path.c_str()) == 1;
}

bool StartRecording(const std::string& folder) {
    return KxStartRecFile((folder + "/rec.wav").c_str()) == 1;
}

const Job kJobs[] = {
    {"play", StartPlaying, [] { KxStopPlayFile(); }, {"kx-play", "kx-out-virtual"}},
    {"record", StartRecording, [] { KxStopRecFile(); }, {"kx-capture", "kx-in-virtual"}},
};

TEST(StreamThreads, EveryThreadOfAJobCarriesItsName) {
    for (const Job& job : kJobs) {
        SCOPED_TRACE(job.what);
        kxtest::TempDir dir;
        ASSERT_TRUE(job.start(dir.path()));
        Sleep(300);
        for (const std::string& name : job.threads)
            EXPECT_TRUE(HasThread(name)) << name;
        job.stop();
        Sleep(100);
        for (const std::string& name : job.threads)
            EXPECT_FALSE(HasThread(name)) << name << " after the stop";
    }
}

struct IdleStream {
    const char* what;
    const char* thread;
    void (*open)(HANDLE* device);
    void (*close)(HANDLE device);
};

const IdleStream kIdleStreams[] = {
    {"wave-out open, nothing written", "kx-out-virtual",
     [](HANDLE* device) {
         const WAVEFORMATEX format = Mono16(8000);
         ASSERT_EQ(
             waveOutOpen(reinterpret_cast<LPHWAVEOUT>(device), 0, &format, 0, 0, CALLBACK_NULL),
             MMSYSERR_NOERROR);
     },
     [](HANDLE device) { EXPECT_EQ(waveOutClose(static_cast<HWAVEOUT>(device)), 0u); }},
    {"wave-in started, no buffer", "kx-in-virtual",
     [](HANDLE* device) {
         const WAVEFORMATEX format = Mono16(8000);
         ASSERT_EQ(waveInOpen(reinterpret_cast<LPHWAVEIN>(device), 0, &format, 0, 0, CALLBACK_NULL),
                   MMSYSERR_NOERROR);
         ASSERT_EQ(waveInStart(static_cast<HWAVEIN>(*device)), MMSYSERR_NOERROR);
     },
     [](HANDLE device) {
         EXPECT_EQ(waveInReset(static_cast<HWAVEIN>(device)), 0u);
         EXPECT_EQ(waveInClose(static_cast<HWAVEIN>(device)), 0u);
     }},
};

TEST(StreamThreads, AnIdleStreamsThreadSleepsUntilItIsNeeded) {
    for (const IdleStream& stream : kIdleStreams) {
        SCOPED_TRACE(stream.what);
        HANDLE device = nullptr;
        stream.open(&device);
        ASSERT_NE(device, nullptr);
        Sleep(100); // the thread has started and gone to sleep
        const std::vector<std::string> ids = kxtest::ThreadIds(stream.thread);
        ASSERT_EQ(ids.size(), 1u);
        const long before = kxtest::ContextSwitches(ids[0]);
        Sleep(1000);
        EXPECT_EQ(kxtest::ContextSwitches(ids[0]), before) << "woke while idle";
        stream.close(device);
    }
}

// Ten minutes of sound played at a hundred times the real clock: in about
// 6 s, never sooner, every byte in order.
TEST(StreamThreads, VirtualSpeedRunsTheOutputsClockFaster) {
    kxtest::TempDir dir;
    kxtest::ScopedEnv speed("KALDRIX_VIRTUAL_SPEED", "100");
    kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    const WAVEFORMATEX format = Mono16(8000);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    const Bytes data = kxtest::Pattern(600 * 16000);
    constexpr size_t kBlock = 160000; // 10 s
    std::vector<Bytes> blocks;
    std::vector<WAVEHDR> headers(data.size() / kBlock);
    for (size_t i = 0; i < headers.size(); ++i)
        blocks.emplace_back(data.begin() + i * kBlock, data.begin() + (i + 1) * kBlock);
    const DWORD start = GetTickCount();
    for (size_t i = 0; i < headers.size(); ++i)
        kxtest::QueueHeader(device, headers[i], blocks[i]);
    kxtest::WaitReturned(device, headers.back(), 60000);
    const DWORD took = GetTickCount() - start;
    EXPECT_GE(took + 20, 6000u);
    EXPECT_LT(took, 60000u);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(kxtest::ReadFile(dir.File("played.raw")), data);
}

} // namespace
