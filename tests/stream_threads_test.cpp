// The library's own threads on the virtual devices: each carries a name that
// says whose it is, a stream's thread sleeps while its device is idle, and
// the virtual clock runs at the speed KALDRIX_VIRTUAL_SPEED asks for.
#include "kaldrix.h"
#include "support/PlaybackSupport.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using kxtest::Bytes;
using Names = std::vector<std::string>;

// The names of this process's threads now.
Names ThreadNames() {
    Names names;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return names;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(tasks);
    return names;
}

bool HasThread(const std::string& name) {
    const Names names = ThreadNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The thread ids of the threads called `name`.
std::vector<std::string> ThreadIds(const std::string& name) {
    std::vector<std::string> ids;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = tasks ? readdir(tasks) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string found;
        if (entry->d_name[0] != '.' && std::getline(comm, found) && found == name)
            ids.push_back(entry->d_name);
    }
    if (tasks)
        closedir(tasks);
    return ids;
}

// Context switches of a thread so far: every time it went to sleep or was
// woken counts at least once.
long Switches(const std::string& id) {
    std::ifstream status("/proc/self/task/" + id + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.find("ctxt_switches:") == std::string::npos)
            continue;
        std::istringstream fields(line.substr(line.find(':') + 1));
        long count = 0;
        fields >> count;
        total += count;
    }
    return total;
}

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
        const std::vector<std::string> ids = ThreadIds(stream.thread);
        ASSERT_EQ(ids.size(), 1u);
        const long before = Switches(ids[0]);
        Sleep(1000);
        EXPECT_EQ(Switches(ids[0]), before) << "woke while idle";
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
