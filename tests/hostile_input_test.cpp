// SPDX-License-Identifier: MIT
// Hostile names and files for both starts, one table each: every row gets a
// clear answer at once (a start is given 5 s, a playback 20 s), the record
// that goes with it, valid recordings, and nothing played but the data
// chunk's bytes, cut to whole frames. (Tests run as root, so a folder cannot
// be made unwritable by its mode: the rows use a path under /proc and a file
// where a folder is expected instead.)
#include "kaldrix.h"
#include "log/LogText.h"
#include "support/HostileWaves.h"
#include "support/Leftovers.h"
#include "support/PlaybackSupport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

// Bytes allocated while a start runs: what a file's declared fields make the
// library allocate.
namespace {
std::atomic<bool> g_countingBytes{false};
std::atomic<uint64_t> g_bytesAllocated{0};

void CountAllocation(size_t size) {
    if (g_countingBytes.load(std::memory_order_relaxed))
        g_bytesAllocated.fetch_add(size);
}
} // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer owns the allocator; its hook sees every allocation.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
namespace {
void CountHooked(const volatile void*, size_t size) { CountAllocation(size); }
void IgnoreFree(const volatile void*) {}
[[maybe_unused]] const int g_hooked =
    __sanitizer_install_malloc_and_free_hooks(CountHooked, IgnoreFree);
} // namespace
#else
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    CountAllocation(size);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
#endif

namespace {

using kxtest::Bytes;

const Bytes kInput = kxtest::Pattern(16000 * 10, 11);
const Bytes kData = kxtest::Pattern(9600, 12); // 48 kHz 16-bit stereo: 50 ms

class HostileInput : public ::testing::Test {
protected:
    HostileInput() { kxtest::WriteFile(dir.File("in.raw"), kInput); }

    ~HostileInput() override {
        if (m_fifoReader >= 0)
            close(m_fifoReader);
    }

    // Runs a start with a bound. A start held in the open of a FIFO is
    // released by opening its other end (a reader stays open for the
    // recording; a writer goes at once, so the player reads an empty file),
    // so that a hang is a failure, not a stuck suite.
    int BoundedStart(int (*start)(const char*), const char* name) {
        auto call = std::async(std::launch::async, start, name);
        if (call.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            return call.get();
        ADD_FAILURE() << "the start did not answer within 5 s";
        if (start == KxStartRecFile)
            m_fifoReader = open(dir.File("fifo").c_str(), O_RDONLY | O_NONBLOCK);
        else
            close(open(dir.File("fifo").c_str(), O_WRONLY | O_NONBLOCK));
        return call.get();
    }

    bool WaitPlayEnd() {
        for (int i = 0; i < 100 && KxPlayStatus() != 0; ++i)
            usleep(1000);
        return KxPlayStatus() == 0;
    }

    kxtest::TempDir dir;
    kxtest::ScopedEnv audio{"KALDRIX_AUDIO", "virtual"};
    kxtest::ScopedEnv in{"KALDRIX_VIRTUAL_IN", dir.File("in.raw")};
    kxtest::ScopedEnv out{"KALDRIX_VIRTUAL_OUT", dir.File("played.raw")};
    kxtest::LogCapture log;
    const kxtest::Holdings before = kxtest::CurrentHoldings();
    int m_fifoReader = -1;
};

bool IsRegularFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// A name of exactly `length` bytes in `dir`.
std::string NameOfLength(const std::string& dir, size_t length, const char* suffix) {
    std::string name = dir + "/";
    name.append(length - name.size() - strlen(suffix), 'n');
    return name + suffix;
}

// ---- names ----

struct NameRow {
    const char* row;
    // The name to pass (nullptr for none), made in the test's folder.
    std::function<std::string(const std::string& dir)> make;
    bool isNull;
    int recordResult; // 1, or -1 with the file record
    int playResult;   // 1 (the name holds a WAVE file), or -1 with the file record
};

std::string Fifo(const std::string& dir) {
    mkfifo((dir + "/fifo").c_str(), 0600);
    return dir + "/fifo";
}

const NameRow kNames[] = {
    {"Null", [](const std::string&) { return std::string(); }, true, -1, -1},
    {"Empty", [](const std::string&) { return std::string(); }, false, -1, -1},
    {"Length255", [](const std::string& d) { return NameOfLength(d, 255, ".wav"); }, false, 1, 1},
    {"Length256", [](const std::string& d) { return NameOfLength(d, 256, ".wav"); }, false, 1, -1},
    {"Length10000", [](const std::string& d) { return NameOfLength(d, 10000, ".wav"); }, false, -1,
     -1},
    {"FormatDirectives", [](const std::string& d) { return d + "/%s %n %x%s%n.wav"; }, false, 1, 1},
    {"NotUtf8", [](const std::string& d) { return d + "/\xff\xfe\xc0.wav"; }, false, 1, 1},
    {"Directory", [](const std::string& d) { return d; }, false, -1, -1},
    {"MissingFolder", [](const std::string& d) { return d + "/missing/x.wav"; }, false, -1, -1},
    {"FileAsFolder", [](const std::string& d) { return d + "/in.raw/x.wav"; }, false, -1, -1},
    {"UnderProc", [](const std::string&) { return std::string("/proc/kaldrix.wav"); }, false, -1,
     -1},
    {"SymlinkLoop",
     [](const std::string& d) {
         symlink((d + "/loop").c_str(), (d + "/loop").c_str());
         return d + "/loop";
     },
     false, -1, -1},
    // Not a file: the start answers at once instead of waiting for a reader.
    {"FifoWithoutReader", Fifo, false, -1, -1},
};

// Devices as recording targets only: a device read as a WAVE file is an
// endless stream that the reader scans to its 4 GiB limit (a FIFO stands
// for every file that is not a regular one on the playing side).
const NameRow kDevices[] = {
    {"DevZero", [](const std::string&) { return std::string("/dev/zero"); }, false, 1, 0},
    {"DevFull", [](const std::string&) { return std::string("/dev/full"); }, false, -1, 0},
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.row; }

class HostileNames : public HostileInput, public ::testing::WithParamInterface<NameRow> {
protected:
    void CheckRecordingTarget(const NameRow& row) {
        const std::string name = row.make(dir.path());
        const int result = BoundedStart(KxStartRecFile, row.isNull ? nullptr : name.c_str());
        EXPECT_EQ(result, row.recordResult);
        usleep(200000);
        const int stopped = KxStopRecFile();
        if (result == -1) {
            EXPECT_EQ(stopped, -1);
            EXPECT_EQ(log.Count(LogText::kRecordFileOpenError), 1);
        } else if (IsRegularFile(name)) { // not a device or a FIFO, which cannot be read back
            EXPECT_EQ(stopped, 1);
            EXPECT_EQ(kxtest::RecordingFault(name, kInput), "");
        } else {
            EXPECT_NE(stopped, 0) << "a device's file is completed or reported as failed";
        }
        EXPECT_EQ(KxRecordStatus(), 0);
        if (stopped == -1) {
            // A failed stop leaves its file open; the next start closes it.
            EXPECT_EQ(KxStartRecFile(dir.File("next.wav").c_str()), 1);
            EXPECT_EQ(KxStopRecFile(), 1);
        }
        EXPECT_EQ(kxtest::Leftovers(before, {}), "");
    }
};

TEST_P(HostileNames, RecordingTargetGetsAClearAnswerAndAValidFile) {
    CheckRecordingTarget(GetParam());
}

class HostileDevices : public HostileNames {};

TEST_P(HostileDevices, RecordingTargetGetsAClearAnswer) { CheckRecordingTarget(GetParam()); }

TEST_P(HostileNames, PlayedFileGetsAClearAnswerAndTheExactRecord) {
    const NameRow& row = GetParam();
    const std::string name = row.make(dir.path());
    if (row.playResult == 1)
        kxtest::WriteFile(name, kxtest::WaveFile(kxtest::PcmFormat(2, 48000, 16), kData));
    const int result = BoundedStart(KxStartPlayFile, row.isNull ? nullptr : name.c_str());
    EXPECT_EQ(result, row.playResult);
    if (result == -1) {
        // The name is logged as it is, never read as a format; a record
        // holds at most 255 bytes.
        const std::string record = kxtest::Format(LogText::kPlayFileOpenError, name.c_str(), 1);
        EXPECT_EQ(log.Count(record.substr(0, 255)), 1);
    }
    EXPECT_TRUE(WaitPlayEnd());
    EXPECT_EQ(KxStopPlayFile(), 0);
    const Bytes played = kxtest::FileExists(dir.File("played.raw"))
                             ? kxtest::ReadFile(dir.File("played.raw"))
                             : Bytes{};
    EXPECT_EQ(played, result == 1 ? kData : Bytes{});
    EXPECT_EQ(kxtest::Leftovers(before, {}), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileNames, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<NameRow>& info) {
                             return std::string(info.param.row);
                         });
INSTANTIATE_TEST_SUITE_P(Rows, HostileDevices, ::testing::ValuesIn(kDevices),
                         [](const ::testing::TestParamInfo<NameRow>& info) {
                             return std::string(info.param.row);
                         });

// ---- WAVE files ----

Bytes Format(uint16_t channels, uint32_t rate, uint16_t align, uint16_t bits) {
    kxtest::RiffWriter body;
    body.U16(1).U16(channels).U32(rate).U32(rate * align).U16(align).U16(bits);
    return body.bytes();
}

// "RIFF", its size, "WAVE", a 16-byte PCM "fmt " chunk and a data chunk that
// declares `declared` bytes and holds `data`.
Bytes Wave(const Bytes& format, uint32_t declared, const Bytes& data, uint32_t riffSize = 0) {
    kxtest::RiffWriter file;
    file.Tag("RIFF").U32(riffSize ? riffSize : uint32_t(4 + 24 + 8 + data.size())).Tag("WAVE");
    file.Chunk("fmt ", format).Tag("data").U32(declared).Raw(data);
    return file.bytes();
}

const Bytes kStereo16 = Format(2, 48000, 4, 16);

struct WaveRow {
    const char* row;
    Bytes file;
    int result;     // 1, or -1 with the file or the device record
    Bytes expected; // what is played
};

const WaveRow kWaves[] = {
    {"ZeroChannels", Wave(Format(0, 48000, 4, 16), 9600, kData), -1, {}},
    {"ZeroRate", Wave(Format(2, 0, 4, 16), 9600, kData), -1, {}},
    {"ZeroBlockAlign", Wave(Format(2, 48000, 0, 16), 9600, kData), -1, {}},
    {"RiffSizeAllOnes", Wave(kStereo16, 9600, kData, 0xFFFFFFFFu), 1, kData},
    // Read as unsigned, to the end of the file.
    {"DataSizeAllOnes", Wave(kStereo16, 0xFFFFFFFFu, kData), 1, kData},
    {"DataSizeTopBit", Wave(kStereo16, 0x80000000u, kData), 1, kData},
    {"DataPastTheEnd", Wave(kStereo16, 100000, kData), 1, kData},
    // The last partial frame is not played; a frame's bytes belong together.
    {"PartialLastFrame", Wave(kStereo16, 9602, kxtest::Pattern(9602, 12)), 1, kData},
    {"PartialFrameAtTheEnd", Wave(kStereo16, 100000, kxtest::Pattern(9603, 12)), 1, kData},
    {"FormatPastTheEnd",
     [] {
         kxtest::RiffWriter file;
         file.Tag("RIFF").U32(1000).Tag("WAVE").Tag("fmt ").U32(1000).Raw(kStereo16);
         return file.bytes();
     }(),
     -1,
     {}},
    {"NoDataChunk",
     kxtest::RiffWriter::Riff("WAVE",
                              [] {
                                  kxtest::RiffWriter chunks;
                                  chunks.Chunk("fmt ", kStereo16);
                                  return chunks.bytes();
                              }()),
     -1,
     {}},
};

void PrintTo(const WaveRow& row, std::ostream* out) { *out << row.row; }

class HostileWaves : public HostileInput, public ::testing::WithParamInterface<WaveRow> {};

TEST_P(HostileWaves, StartAnswersClearlyAndOnlyTheDataIsPlayed) {
    const WaveRow& row = GetParam();
    const std::string name = dir.File("hostile.wav");
    kxtest::WriteFile(name, row.file);
    const int result = BoundedStart(KxStartPlayFile, name.c_str());
    EXPECT_EQ(result, row.result);
    if (result == -1) {
        EXPECT_EQ(log.Count(kxtest::Format(LogText::kPlayFileOpenError, name.c_str(), 1)) +
                      log.Count(kxtest::Format(LogText::kPlayDeviceOpenError, 1)),
                  1);
    }
    EXPECT_TRUE(WaitPlayEnd());
    EXPECT_EQ(KxStopPlayFile(), 0);
    const Bytes played = kxtest::FileExists(dir.File("played.raw"))
                             ? kxtest::ReadFile(dir.File("played.raw"))
                             : Bytes{};
    EXPECT_EQ(played.size(), row.expected.size());
    EXPECT_TRUE(played == row.expected) << "played differs from the data chunk's whole frames";
    EXPECT_EQ(kxtest::Leftovers(before, {}), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileWaves, ::testing::ValuesIn(kWaves),
                         [](const ::testing::TestParamInfo<WaveRow>& info) {
                             return std::string(info.param.row);
                         });

// A file cut short or replaced while it plays: the playback ends by itself,
// and what was played is the original data in order, never more.
TEST_F(HostileInput, FileTruncatedOrReplacedWhilePlayingEnds) {
    const Bytes data = kxtest::Pattern(384000, 13); // 2 s
    for (const bool replace : {false, true}) {
        const std::string name = dir.File("changing.wav");
        kxtest::WriteFile(name, kxtest::WaveFile(kStereo16, data));
        std::remove(dir.File("played.raw").c_str());
        ASSERT_EQ(KxStartPlayFile(name.c_str()), 1);
        usleep(300000);
        if (replace) {
            kxtest::WriteFile(dir.File("other.wav"),
                              kxtest::WaveFile(kStereo16, kxtest::Pattern(384000, 14)));
            ASSERT_EQ(std::rename(dir.File("other.wav").c_str(), name.c_str()), 0);
        } else {
            ASSERT_EQ(truncate(name.c_str(), 44 + 40000), 0);
        }
        for (int i = 0; i < 150 && KxPlayStatus() != 0; ++i)
            usleep(1000);
        EXPECT_EQ(KxPlayStatus(), 0) << "still playing 30 s after a 2 s file began";
        EXPECT_EQ(KxStopPlayFile(), 0);
        const Bytes played = kxtest::ReadFile(dir.File("played.raw"));
        EXPECT_EQ(kxtest::PlayedFault(played, {data}), "") << (replace ? "replaced" : "truncated");
        EXPECT_EQ(kxtest::Leftovers(before, {}), "");
    }
}

// ---- files both builds refuse (tests/support/HostileWaves.h) ----

class SharedHostileWaves : public HostileInput,
                           public ::testing::WithParamInterface<kxtest::HostileWave> {};

// Each fails within a second, with the record of the step that refused it,
// and nothing is played.
TEST_P(SharedHostileWaves, StartFailsAtOnceWithItsRecord) {
    const kxtest::HostileWave& row = GetParam();
    const std::string name = dir.File("hostile.wav");
    kxtest::WriteFile(name, row.bytes);
    if (row.sparseLength != 0 && truncate(name.c_str(), off_t(row.sparseLength)) != 0)
        GTEST_SKIP() << "the file system takes no sparse file of " << row.sparseLength << " bytes";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BoundedStart(KxStartPlayFile, name.c_str()), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(log.Count(row.refusedByDevice
                            ? kxtest::Format(LogText::kPlayDeviceOpenError, 1)
                            : kxtest::Format(LogText::kPlayFileOpenError, name.c_str(), 1)),
              1);
    EXPECT_EQ(KxPlayStatus(), 0);
    EXPECT_FALSE(kxtest::FileExists(dir.File("played.raw")));
    EXPECT_EQ(kxtest::Leftovers(before, {}), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, SharedHostileWaves, ::testing::ValuesIn(kxtest::HostileWaves()),
                         [](const ::testing::TestParamInfo<kxtest::HostileWave>& info) {
                             return std::string(info.param.name);
                         });

// ---- declared fields that would size the work ----

struct DeclaredFields {
    uint16_t channels;
    uint32_t rate;
    uint16_t blockAlign;
    uint16_t bits;
    uint16_t extraBytes; // cbSize of an extensible format, with as many bytes behind it
};

// An extensible format with a PCM sub-format in its first 22 extra bytes.
Bytes ExtensibleWave(const DeclaredFields& f) {
    kxtest::RiffWriter body;
    body.U16(0xFFFE).U16(f.channels).U32(f.rate).U32(f.rate * f.blockAlign);
    body.U16(f.blockAlign).U16(f.bits).U16(f.extraBytes);
    Bytes extra = kxtest::ExtensibleFormat(1, 8000, 16, 1);
    extra.erase(extra.begin(), extra.begin() + 18);
    extra.resize(f.extraBytes);
    body.Raw(extra);
    return kxtest::WaveFile(body.bytes(), kxtest::Pattern(4000, 15));
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Every field at 0, 1 and its largest value, in every combination, besides
// the reported file (a 65535-byte frame at 48 kHz) and the largest format
// that plays: each start answers within 100 ms of its thread's CPU time and
// allocates at most 4 MiB, whatever the file declares.
TEST_F(HostileInput, DeclaredFieldsNeverSizeTheWork) {
    std::vector<std::pair<DeclaredFields, int>> rows = {
        {{1, 48000, 65535, 16, 22}, -1},
        {{8, 192000, 32, 32, 22}, 1},
    };
    for (uint16_t channels : {0, 1, 0xFFFF})
        for (uint32_t rate : {0u, 1u, 0xFFFFFFFFu})
            for (uint16_t blockAlign : {0, 1, 0xFFFF})
                for (uint16_t bits : {0, 1, 0xFFFF})
                    for (uint16_t extraBytes : {0, 1, 0xFFFF})
                        rows.push_back({{channels, rate, blockAlign, bits, extraBytes}, -1});
    const std::string name = dir.File("declared.wav");
    for (const auto& [fields, expected] : rows) {
        SCOPED_TRACE(kxtest::Format("%u channels, %u Hz, block %u, %u bits, cbSize %u",
                                    fields.channels, fields.rate, fields.blockAlign, fields.bits,
                                    fields.extraBytes));
        kxtest::WriteFile(name, ExtensibleWave(fields));
        const double cpuBefore = ThreadCpuMs();
        g_bytesAllocated = 0;
        g_countingBytes = true;
        const int result = KxStartPlayFile(name.c_str());
        g_countingBytes = false;
        EXPECT_LT(ThreadCpuMs() - cpuBefore, 100.0);
        EXPECT_LE(g_bytesAllocated.load(), 4u << 20);
        EXPECT_EQ(result, expected);
        EXPECT_EQ(KxStopPlayFile(), 0);
    }
    EXPECT_EQ(kxtest::Leftovers(before, {}), "");
}

} // namespace
