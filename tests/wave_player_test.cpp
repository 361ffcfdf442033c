// SPDX-License-Identifier: MIT
// The player through its exports and as a CWavePlayer of its own, on the
// virtual device: every byte of the data chunk reaches KALDRIX_VIRTUAL_OUT in
// order, for fast and slow formats; the edge cases; the guarantees against faults (no
// second play thread, nothing leaked, files that end by themselves, the full
// format, start failures, a stuck device, an unload while playing, host
// threads calling at once).
#include "kaldrix.h"
#include "log/LogText.h"
#include "playback/WavePlayer.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/testing/WaveOutTestInterface.h"
#include "support/PlaybackSupport.h"
#include "support/TestPeers.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <thread>

// The allocation functions are replaced as a whole family over malloc and
// free, so that every pair matches (GCC still sees a mismatch where it
// inlines them). Allocations of at least g_failAllocationsFrom bytes throw
// std::bad_alloc while it is not 0: a test can run the library out of memory
// at the one big allocation of a start, the wave file object. The next
// allocation of exactly g_failAllocationOf bytes throws once.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

static std::atomic<size_t> g_failAllocationsFrom{0};
static std::atomic<size_t> g_failAllocationOf{0};

void* operator new(size_t size) {
    const size_t from = g_failAllocationsFrom.load();
    if (from != 0 && size >= from)
        throw std::bad_alloc();
    size_t exact = size;
    if (size != 0 && g_failAllocationOf.compare_exchange_strong(exact, 0))
        throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using kxtest::Bytes;

constexpr size_t kBlock = CWaveForm::kBlockSize;

class PlayerTest : public ::testing::Test {
protected:
    std::string Wave(const char* name, const Bytes& format, const Bytes& data) {
        const std::string path = dir.File(name);
        kxtest::WriteFile(path, kxtest::WaveFile(format, data));
        return path;
    }
    Bytes Played() const { return kxtest::ReadFile(dir.File("played.raw")); }
    // Asks KxPlayStatus until it answers 0; the milliseconds since `start`.
    static DWORD WaitIdle(DWORD start, DWORD limitMs = 20000) {
        while (KxPlayStatus() != 0) {
            if (GetTickCount() - start > limitMs) {
                ADD_FAILURE() << "still playing after " << limitMs << " ms";
                break;
            }
        }
        return GetTickCount() - start;
    }
    static std::string FileOpenRecord(const char* name) {
        return kxtest::Format(LogText::kPlayFileOpenError, name, 1);
    }
    static std::string DeviceOpenRecord() {
        return kxtest::Format(LogText::kPlayDeviceOpenError, 1);
    }

    kxtest::TempDir dir;
    kxtest::ScopedEnv out{"KALDRIX_VIRTUAL_OUT", dir.File("played.raw")};
    kxtest::LogCapture log;
    const int descriptorsBefore = kxtest::OpenFileCount();
};

// ---- byte-exact playback ----

struct PlayCase {
    const char* name;
    Bytes format;
    size_t bytes;
};

void PrintTo(const PlayCase& c, std::ostream* out) { *out << c.name; }

class PlayerRealTime : public PlayerTest, public ::testing::WithParamInterface<PlayCase> {};

// When the playback ends by itself: the end of the data is seen once the
// last block but one has played; the last block then gets its own play time
// and a margin, and at least 2 s.
DWORD ExpectedEndMs(size_t bytes, uint32_t byteRate) {
    const size_t lastBlock = bytes % kBlock ? bytes % kBlock : kBlock;
    const DWORD playMs = DWORD(bytes * 1000 / byteRate);
    const DWORD lastMs = DWORD(lastBlock * 1000 / byteRate);
    if (bytes <= kBlock)
        return playMs + 2000;
    return playMs - lastMs + std::max<DWORD>(2000, lastMs + 200);
}

TEST_P(PlayerRealTime, PlaysEveryByteOfTheDataChunkThenEndsAfterThePause) {
    const PlayCase& c = GetParam();
    const Bytes data = kxtest::Pattern(c.bytes);
    const std::string path = Wave("play.wav", c.format, data);
    const DWORD start = GetTickCount();
    ASSERT_EQ(KxStartPlayFile(path.c_str()), 1);
    const DWORD elapsed = WaitIdle(start);
    const DWORD expected = ExpectedEndMs(c.bytes, kxtest::ByteRateOf(c.format));
    EXPECT_GE(elapsed + 20, expected);
    EXPECT_LT(elapsed, expected + 5000);
    EXPECT_EQ(Played(), data) << "nothing dropped, cut or added";
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore);
    EXPECT_EQ(log.Count("CloseWaveForm FAILED"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayerRealTime,
    ::testing::Values(
        PlayCase{"Mono16At8000OneBlock", kxtest::PcmFormat(1, 8000, 16), kBlock},
        PlayCase{"Mono16At8000TwoBlocks", kxtest::PcmFormat(1, 8000, 16), 2 * kBlock},
        PlayCase{"Mono16At8000TwoAndAHalfBlocks", kxtest::PcmFormat(1, 8000, 16), 5 * kBlock / 2},
        PlayCase{"Mono8At22050TwoAndAHalfBlocks", kxtest::PcmFormat(1, 22050, 8), 5 * kBlock / 2},
        PlayCase{"Stereo16At44100TenBlocks", kxtest::PcmFormat(2, 44100, 16), 10 * kBlock},
        PlayCase{"FloatStereoAt44100TwoBlocks", kxtest::FloatFormat(2, 44100), 2 * kBlock},
        PlayCase{"ExtensiblePcm24StereoAt48000TwoAndAHalfBlocks",
                 kxtest::ExtensibleFormat(2, 48000, 24, 1), 40962},
        PlayCase{"ExtensibleFloatStereoAt48000TenBlocks", kxtest::ExtensibleFormat(2, 48000, 32, 3),
                 10 * kBlock},
        // 4000 bytes a second: the first block plays 4.1 s, longer than the
        // 3000 ms before a reset, and the last one 3 s, longer than the
        // 2000 ms pause minus its margin.
        PlayCase{"SlowMono8At4000", kxtest::PcmFormat(1, 4000, 8), kBlock + 12000}),
    [](const ::testing::TestParamInfo<PlayCase>& info) { return info.param.name; });

// ---- edge cases ----

using Player = PlayerTest;

TEST_F(Player, MissingFileOrNoNameFailsWithTheFileOpenRecord) {
    struct Case {
        const char* name;
        const char* logged;
    };
    const std::string missing = dir.File("missing.wav");
    const Case cases[] = {{missing.c_str(), missing.c_str()}, {"", ""}, {nullptr, ""}};
    for (const Case& c : cases) {
        EXPECT_EQ(KxStartPlayFile(c.name), -1) << c.logged;
        EXPECT_EQ(KxPlayStatus(), 0);
    }
    EXPECT_EQ(log.Count(FileOpenRecord(missing.c_str())), 1);
    EXPECT_EQ(log.Count(FileOpenRecord("")), 2) << "a null name is an empty one";
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore);
}

TEST_F(Player, DeviceOpenFailuresLogOneRecordAndLeaveNothingOpen) {
    const std::string path = Wave("play.wav", kxtest::PcmFormat(1, 8000, 16), Bytes(3200));
    Bytes noRate = kxtest::PcmFormat(1, 8000, 16);
    noRate[8] = noRate[9] = noRate[10] = noRate[11] = 0; // nAvgBytesPerSec 0
    const std::string zeroRate = Wave("zero.wav", noRate, Bytes(3200));
    {
        kxtest::ScopedEnv audio("KALDRIX_AUDIO", "none");
        EXPECT_EQ(KxStartPlayFile(path.c_str()), -1) << "no device";
    }
    EXPECT_EQ(KxStartPlayFile(zeroRate.c_str()), -1) << "refused format";
    kxtest::FailOperation("waveOutOpen", MMSYSERR_ALLOCATED);
    EXPECT_EQ(KxStartPlayFile(path.c_str()), -1) << "device busy";
    EXPECT_EQ(log.Count(DeviceOpenRecord()), 3);
    EXPECT_EQ(KxPlayStatus(), 0);
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore) << "the wave file is closed";
}

TEST_F(Player, ThreadCreationFailureLeavesNothingOpen) {
    const std::string path = Wave("play.wav", kxtest::PcmFormat(1, 8000, 16), Bytes(3200));
    kxtest::FailOperation("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(KxStartPlayFile(path.c_str()), -1);
    EXPECT_EQ(KxPlayStatus(), 0);
    EXPECT_EQ(CWavePlayerTestPeer(g_Player).PlayThread(), nullptr);
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore);
}

TEST_F(Player, StopAndStatusWhenIdleAnswerZeroAtOnceWithoutRecords) {
    DWORD fastest = INFINITE;
    for (int i = 0; i < 3; ++i) {
        const DWORD start = GetTickCount();
        EXPECT_EQ(KxPlayStatus(), 0);
        EXPECT_EQ(KxStopPlayFile(), 0);
        fastest = std::min(fastest, GetTickCount() - start);
    }
    EXPECT_LT(fastest, 100u) << "no 200 ms pause when idle";
    EXPECT_EQ(log.Text().find("StopPlayFile Return"), std::string::npos);
}

TEST_F(Player, StatusWhilePlayingAnswersOneAfterItsPause) {
    const std::string path =
        Wave("play.wav", kxtest::PcmFormat(2, 44100, 16), kxtest::Pattern(10 * kBlock));
    ASSERT_EQ(KxStartPlayFile(path.c_str()), 1);
    const DWORD start = GetTickCount();
    EXPECT_EQ(KxPlayStatus(), 1);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 190u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_EQ(KxStopPlayFile(), 0);
    EXPECT_EQ(KxPlayStatus(), 0);
    const Bytes played = Played();
    EXPECT_LT(played.size(), 10 * kBlock) << "stopped early";
    EXPECT_EQ(played, kxtest::Pattern(played.size())) << "a prefix of the data";
}

TEST_F(Player, OutOfMemoryInStartAnswersMinusOne) {
    const std::string path = Wave("play.wav", kxtest::PcmFormat(1, 8000, 16), Bytes(3200));
    g_failAllocationsFrom = sizeof(CWaveForm);
    const int result = KxStartPlayFile(path.c_str());
    g_failAllocationsFrom = 0;
    EXPECT_EQ(result, -1) << "never 1: nothing plays";
    EXPECT_EQ(log.Count("\nException  KxStartPlayFile"), 1);
    EXPECT_EQ(KxPlayStatus(), 0);
    EXPECT_EQ(KxStartPlayFile(path.c_str()), 1) << "the next start works";
    EXPECT_EQ(KxStopPlayFile(), 0);
}

// Memory running out after the file was opened: reading the format's extra
// bytes, or copying the format for the device. No file stays open once the
// next start has run.
TEST_F(Player, OutOfMemoryAfterTheFileIsOpenLeavesNoFileOpen) {
    const std::string path =
        Wave("play.wav", kxtest::ExtensibleFormat(2, 8000, 16, 1), Bytes(3200));
    for (size_t size : {size_t{22}, sizeof(WAVEFORMATEX)}) {
        g_failAllocationOf = size;
        EXPECT_EQ(KxStartPlayFile(path.c_str()), -1) << size;
        g_failAllocationOf = 0;
        EXPECT_EQ(KxStartPlayFile(dir.File("missing.wav").c_str()), -1);
        EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore) << size;
    }
    EXPECT_EQ(log.Count("\nException  KxStartPlayFile"), 2);
}

TEST_F(Player, HeaderOrEventThatCannotBeCreatedFailsEveryStart) {
    const std::string path = Wave("play.wav", kxtest::PcmFormat(1, 8000, 16), Bytes(3200));
    struct Case {
        const char* operation;
        unsigned nth;
    };
    const Case cases[] = {
        {"LocalAlloc", 1}, {"LocalAlloc", 2}, {"CreateEventA", 1}, {"CreateEventA", 2}};
    for (const Case& c : cases) {
        kxtest::FailOperation(c.operation, ERROR_NOT_ENOUGH_MEMORY, c.nth);
        CWavePlayer player;
        player.SelectDevice("", 1);
        EXPECT_EQ(player.StartPlayFile(path.c_str()), 1) << c.operation << " " << c.nth;
        EXPECT_EQ(player.StartPlayFile(path.c_str()), 1) << c.operation << " " << c.nth;
        EXPECT_EQ(player.StopPlayFile(), 0);
        EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    }
    EXPECT_EQ(log.Count(DeviceOpenRecord()), 8);
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore);
}

TEST_F(Player, SelectDeviceMatchesUpperCasedNamesAndFallsPastTheLastDevice) {
    // Short blocks, so that each stop is quick.
    const std::string path =
        Wave("play.wav", kxtest::PcmFormat(2, 44100, 16), kxtest::Pattern(10 * kBlock));
    struct Case {
        const char* pattern;
        int mustContain;
        bool capsReadable;
        bool playsOnDevice0;
    };
    const Case cases[] = {
        {"", 1, true, true},          {"VIRTUAL OUT", 1, true, true}, {"virtual", 1, true, false},
        {"NOPE", 1, true, false},     {"NOPE", 0, true, true},        {"KALDRIX", 0, true, false},
        {"KALDRIX", 1, false, false}, {"", 1, false, true},
    };
    int failures = 0;
    for (const Case& c : cases) {
        if (!c.capsReadable)
            kxtest::FailOperation("waveOutGetDevCapsA", MMSYSERR_NODRIVER, 1, 0);
        CWavePlayer player;
        EXPECT_EQ(player.SelectDevice(c.pattern, c.mustContain), 0);
        kxtest::ClearFailures();
        const int started = player.StartPlayFile(path.c_str());
        EXPECT_EQ(started, c.playsOnDevice0 ? 0 : 1) << c.pattern << " " << c.mustContain;
        failures += started;
        EXPECT_EQ(player.StopPlayFile(), 0);
    }
    EXPECT_EQ(log.Count(DeviceOpenRecord()), failures);
}

TEST_F(Player, UnexpectedUnprepareErrorEndsTheThreadWithItsCleanUp) {
    const Bytes data = kxtest::Pattern(5 * kBlock / 2);
    const std::string path = Wave("play.wav", kxtest::PcmFormat(1, 8000, 16), data);
    CWavePlayer player;
    player.SelectDevice("", 1);
    kxtest::FailOperation("waveOutUnprepareHeader", MMSYSERR_INVALHANDLE);
    ASSERT_EQ(player.StartPlayFile(path.c_str()), 0);
    EXPECT_EQ(player.WaitPlayEnd(1500), 0) << "ended long before the data";
    ASSERT_EQ(WaitForSingleObject(CWavePlayerTestPeer(player).PlayThread(), 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(CWavePlayerTestPeer(player).PlayThread(), &code));
    EXPECT_EQ(code, DWORD(-2));
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0) << "device closed";
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore) << "file closed";
    EXPECT_LT(Played().size(), data.size());
    EXPECT_EQ(player.StopPlayFile(), 0);
    EXPECT_EQ(CWavePlayerTestPeer(player).PlayThread(), nullptr)
        << "the ended thread's handle is closed";
}

// ---- mostly waiting ----

using PlayerEndRealTime = PlayerTest;

// Files whose sizes or rate say other than what they hold play what they
// hold and end by themselves: a PCM rate declared at 1 byte/s, a streamed
// file's 0xFFFFFFFF sizes, a data size of 2^31, a recording cut off inside a
// sample frame.
TEST_F(PlayerEndRealTime, FilesThatMisstateTheirSizesPlayWhatTheyHoldAndEnd) {
    const Bytes data = kxtest::Pattern(20002);
    Bytes slowRate = kxtest::PcmFormat(1, 8000, 16);
    slowRate[8] = 1;
    slowRate[9] = slowRate[10] = slowRate[11] = 0;
    const Bytes stereo = kxtest::WaveFile(kxtest::PcmFormat(2, 8000, 16), data);
    Bytes streamed = kxtest::WaveFile(kxtest::PcmFormat(1, 8000, 16), data);
    Bytes huge = streamed;
    for (size_t offset : {4, 40})
        streamed[offset] = streamed[offset + 1] = streamed[offset + 2] = streamed[offset + 3] =
            0xFF;
    huge[43] = 0x80;
    huge[40] = huge[41] = huge[42] = 0;
    struct Case {
        const char* name;
        Bytes file;
        size_t played;
    };
    const Case cases[] = {
        {"rate of 1 byte/s", kxtest::WaveFile(slowRate, data), data.size()},
        {"streamed", streamed, data.size()},
        {"2^31 declared", huge, data.size()},
        {"cut inside a frame", Bytes(stereo.begin(), stereo.end() - 3), data.size() - 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(dir.File("played.raw").c_str());
        kxtest::WriteFile(dir.File("play.wav"), c.file);
        const DWORD start = GetTickCount();
        ASSERT_EQ(KxStartPlayFile(dir.File("play.wav").c_str()), 1);
        EXPECT_LT(WaitIdle(start, 10000), 10000u);
        EXPECT_EQ(KxStopPlayFile(), 0);
        EXPECT_EQ(Played(), kxtest::Pattern(c.played));
    }
}

TEST_F(PlayerEndRealTime, NothingToPlayEndsByItselfAfterThePause) {
    const Bytes format = kxtest::PcmFormat(1, 8000, 16);
    struct Case {
        const char* name;
        Bytes data;
        unsigned failedWrites;
    };
    const Case cases[] = {{"empty data chunk", {}, 0},
                          {"first blocks not queued", kxtest::Pattern(2 * kBlock), 2}};
    for (const Case& c : cases) {
        const std::string path = Wave("play.wav", format, c.data);
        if (c.failedWrites)
            kxtest::FailOperation("waveOutWrite", MMSYSERR_NOMEM, 1, c.failedWrites);
        const DWORD start = GetTickCount();
        ASSERT_EQ(KxStartPlayFile(path.c_str()), 1) << c.name;
        const DWORD elapsed = WaitIdle(start, 8000);
        EXPECT_GE(elapsed + 20, 2000u) << c.name;
        EXPECT_NE(CWavePlayerTestPeer(g_Player).PlayThread(), nullptr)
            << "kept until the next start or stop";
        EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0) << c.name;
    }
    EXPECT_EQ(KxStopPlayFile(), 0);
    EXPECT_EQ(CWavePlayerTestPeer(g_Player).PlayThread(), nullptr);
    EXPECT_TRUE(Played().empty());
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore);
}

TEST_F(PlayerEndRealTime, StartWhilePlayingStopsTheFirstAndPlaysTheSecond) {
    const Bytes format = kxtest::PcmFormat(1, 8000, 16);
    const Bytes first = kxtest::Pattern(4 * kBlock, 1);
    const Bytes second = kxtest::Pattern(kBlock / 2, 2);
    const std::string firstPath = Wave("first.wav", format, first);
    const std::string secondPath = Wave("second.wav", format, second);
    ASSERT_EQ(KxStartPlayFile(firstPath.c_str()), 1);
    Sleep(300);
    ASSERT_EQ(KxStartPlayFile(secondPath.c_str()), 1);
    WaitIdle(GetTickCount());
    const Bytes played = Played();
    ASSERT_GT(played.size(), second.size());
    const size_t cut = played.size() - second.size();
    EXPECT_LT(cut, first.size()) << "the first was stopped";
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + cut, first.begin()));
    EXPECT_TRUE(std::equal(played.begin() + cut, played.end(), second.begin()));
}

TEST_F(PlayerEndRealTime, StopOfASlowFormatIsTakenAfterThreeSeconds) {
    // 1000 bytes a second: the first block alone plays 16 s.
    const std::string path =
        Wave("slow.wav", kxtest::PcmFormat(1, 1000, 8), kxtest::Pattern(2 * kBlock));
    ASSERT_EQ(KxStartPlayFile(path.c_str()), 1);
    Sleep(300);
    const DWORD start = GetTickCount();
    EXPECT_EQ(KxStopPlayFile(), 0);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed + 20, 2700u) << "only once the wait has passed 3000 ms";
    EXPECT_LT(elapsed, 8000u) << "not when the 16 s block ends";
    const Bytes played = Played();
    EXPECT_EQ(played, kxtest::Pattern(played.size()));
}

// A device that stalls never completes a block: the play thread sleeps until
// the deadline (a few looks at the header, no polling), then resets the
// device, which returns both blocks. A two-block file then ends by itself
// after the end pause; a stop asked before the deadline is taken once the
// reset has returned the block; a slow format's stop, asked after 3000 ms, is
// taken at once rather than at its block's own deadline (17 s).
TEST_F(PlayerEndRealTime, StalledDeviceIsResetAtTheDeadlineAndStops) {
    struct Case {
        const char* name;
        Bytes format;
        size_t bytes;
        DWORD stopAtMs; // 0: none, the playback ends by itself
        DWORD endsFromMs, endsByMs;
    };
    const Case cases[] = {
        {"ends by itself", kxtest::PcmFormat(1, 8000, 16), 2 * kBlock, 0, 4900, 8000},
        {"stop before the deadline", kxtest::PcmFormat(1, 8000, 16), 4 * kBlock, 300, 2900, 6000},
        {"slow format, stop after 3000 ms", kxtest::PcmFormat(1, 1000, 8), 2 * kBlock, 3500, 3450,
         6000},
    };
    const struct Stall {
        Stall() { kxtest::StallVirtualOutput(); }
        ~Stall() { kxtest::ResumeVirtualOutput(); }
    } stall;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Wave("play.wav", c.format, kxtest::Pattern(c.bytes));
        kxtest::CountCalls();
        const DWORD start = GetTickCount();
        ASSERT_EQ(KxStartPlayFile(path.c_str()), 1);
        if (c.stopAtMs) {
            Sleep(c.stopAtMs);
            EXPECT_EQ(KxStopPlayFile(), 0);
        }
        const DWORD elapsed = WaitIdle(start, 10000);
        EXPECT_GE(elapsed, c.endsFromMs);
        EXPECT_LT(elapsed, c.endsByMs);
        EXPECT_LT(kxtest::CountedCalls()["waveOutUnprepareHeader"].calls, 20u)
            << "no look every 20 ms";
    }
    EXPECT_EQ(KxStopPlayFile(), 0);
    EXPECT_TRUE(Played().empty());
}

TEST_F(PlayerEndRealTime, StuckDeviceMakesTheStopGiveUpAndNoSecondThreadStart) {
    const Bytes format = kxtest::PcmFormat(2, 44100, 16);
    const std::string first = Wave("first.wav", format, kxtest::Pattern(10 * kBlock, 1));
    const std::string second = Wave("second.wav", format, kxtest::Pattern(10 * kBlock, 2));
    kxtest::HoldWaveOutHeaders();
    ASSERT_EQ(KxStartPlayFile(first.c_str()), 1);
    Sleep(100);
    const DWORD start = GetTickCount();
    EXPECT_EQ(KxStartPlayFile(second.c_str()), -1);
    EXPECT_GE(GetTickCount() - start + 20, 15000u);
    EXPECT_EQ(log.Count("\n Unable to terminate Play Thread"), 1);
    EXPECT_EQ(KxPlayStatus(), 1) << "the first still plays";
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 1) << "no second device, no second thread";
    kxtest::ReleaseWaveOutHeaders();
    EXPECT_EQ(KxStopPlayFile(), 0);
    EXPECT_EQ(KxPlayStatus(), 0);
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore) << "second file never left open";
    // The held blocks never played; what followed the release is a slice of
    // the first file.
    const Bytes played = Played();
    const Bytes firstData = kxtest::Pattern(10 * kBlock, 1);
    EXPECT_NE(std::search(firstData.begin(), firstData.end(), played.begin(), played.end()),
              firstData.end())
        << "nothing of the second file";
}

// ---- host threads and unloading ----

using PlayerThreads = PlayerTest;

TEST_F(PlayerThreads, HostThreadsStartingAndStoppingAtOnceNeverRunTwoPlaybacks) {
    const std::string path =
        Wave("play.wav", kxtest::PcmFormat(2, 44100, 16), kxtest::Pattern(5 * kBlock / 2));
    std::atomic<bool> done{false};
    std::atomic<int> mostDevices{0};
    std::thread watcher([&] {
        while (!done) {
            mostDevices = std::max(mostDevices.load(), kxtest::OpenWaveOutHandles());
            Sleep(1);
        }
    });
    std::vector<std::thread> hosts;
    std::atomic<int> failedStarts{0};
    for (int t = 0; t < 3; ++t) {
        hosts.emplace_back([&, t] {
            for (int k = 0; k < 4; ++k) {
                if (KxStartPlayFile(path.c_str()) != 1)
                    ++failedStarts;
                KxPlayStatus();
                if ((k + t) % 2)
                    KxStopPlayFile();
            }
        });
    }
    for (std::thread& host : hosts)
        host.join();
    EXPECT_EQ(KxStopPlayFile(), 0);
    EXPECT_EQ(KxPlayStatus(), 0);
    done = true;
    watcher.join();
    EXPECT_EQ(failedStarts, 0);
    EXPECT_EQ(mostDevices, 1);
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    EXPECT_EQ(kxtest::OpenFileCount(), descriptorsBefore);
}

} // namespace
