// SPDX-License-Identifier: MIT
// The recorder through its exports, on the virtual input fed with a known
// byte pattern: the file it writes, the record sequences of its edge cases,
// every device step failing in turn, and the faults it mends (lost or
// unfreeable buffers, failed writes, the size limit, a lost quit, a failed
// close or stop, concurrent hosts, an unload while recording).
#include "kaldrix.h"
#include "log/LogText.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/testing/WaveInTestInterface.h"
#include "recording/RecordExports.h"
#include "recording/WaveRecorder.h"
#include "support/LogCapture.h"
#include "support/RecordingFormats.h"
#include "support/TestPeers.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using kxtest::Bytes;
using Records = std::vector<std::string>;

const std::string kStopOk = "\nStopRecordFile Return 1";
const std::string kStopFailed = "\nStopRecordFile Return -1";
constexpr uint32_t kLargestData = 4294967040u; // the last multiple of 960 with 36 + D < 2^32

// The record sequence of a stop after a start that failed before the capture.
const Records kStopAfterFailedStart = {LogText::kRecAlreadyOpenError,
                                       LogText::kRecReleaseBufferError, LogText::kRecDeviceNotOpen,
                                       kStopOk};

// The capture thread writes these two on its own schedule; every other
// record comes in a fixed order.
bool IsThreadRecord(const std::string& record) {
    return record == LogText::kRecDeviceOpened || record == LogText::kRecDeviceClosed;
}

Records HostRecords(const Records& records) {
    Records host;
    std::copy_if(records.begin(), records.end(), std::back_inserter(host),
                 [](const std::string& record) { return !IsThreadRecord(record); });
    return host;
}

long Count(const Records& records, const std::string& text) {
    return std::count(records.begin(), records.end(), text);
}

Bytes FormatBlock() {
    kxtest::RiffWriter block;
    block.U32(16).U16(1).U16(1).U32(8000).U32(16000).U16(2).U16(16);
    return block.bytes();
}

// Checks the 44-byte header of a completed recording; returns its data.
Bytes CompletedData(const std::string& path) {
    const Bytes file = kxtest::ReadFile(path);
    if (file.size() < 44) {
        ADD_FAILURE() << path << " holds " << file.size() << " bytes";
        return {};
    }
    const uint32_t dataBytes = static_cast<uint32_t>(file.size() - 44);
    EXPECT_EQ(dataBytes % 960, 0u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(kxtest::ReadLe32(file, 4), 36 + dataBytes);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 36), FormatBlock());
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(kxtest::ReadLe32(file, 40), dataBytes);
    return Bytes(file.begin() + 44, file.end());
}

// How many of this process's descriptors are open on `path`.
int DescriptorsOn(const std::string& path) {
    char wanted[PATH_MAX];
    if (!realpath(path.c_str(), wanted))
        return 0;
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        char target[PATH_MAX] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::strcmp(target, wanted) == 0)
            ++count;
    }
    closedir(dir);
    return count;
}

// The virtual input fed with a pattern, a private log, and checks that each
// test leaves no device, prepared header or kernel handle behind.
class RecorderFixture : public ::testing::Test {
protected:
    void SetUp() override {
        kxtest::WriteFile(m_dir.File("in.raw"), m_pattern);
        m_handles = kxtest::OpenHandleCount();
    }

    void TearDown() override {
        kxtest::ClearFailures();
        kxtest::ReleaseFileWrite();
        if (KxRecordStatus())
            KxStopRecFile();
        EXPECT_EQ(kxtest::OpenWaveInDevices(), 0u);
        EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 0u);
        EXPECT_EQ(kxtest::OpenHandleCount(), m_handles);
    }

    Records Since(size_t mark) const {
        const Records all = m_log.Records();
        return Records(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end());
    }
    size_t Mark() const { return m_log.Records().size(); }
    std::string Path(const char* name) const { return m_dir.File(name); }
    Bytes PatternPrefix(size_t size) const {
        return Bytes(m_pattern.begin(), m_pattern.begin() + static_cast<long>(size));
    }

    kxtest::TempDir m_dir;
    const Bytes m_pattern = kxtest::Pattern(16000 * 12, 5);
    kxtest::ScopedEnv m_audio{"KALDRIX_AUDIO", "virtual"};
    kxtest::ScopedEnv m_input{"KALDRIX_VIRTUAL_IN", m_dir.File("in.raw")};
    kxtest::LogCapture m_log;
    unsigned m_handles = 0;
};

// Suites that wait on the clock (label realtime in tests/CMakeLists.txt);
// those that free buffers and can leak are not labelled so, so that the
// address sanitizer's run checks them too.
using RecorderRealTimeThreads = RecorderFixture;
using RecorderBufferThreads = RecorderFixture;

TEST_F(RecorderRealTimeThreads, RecordsAContinuousSliceOfTheInputFromItsFirstByte) {
    EXPECT_EQ(KxStopRecFile(), 0) << "stop while idle";
    EXPECT_EQ(KxRecordStatus(), 0);
    EXPECT_TRUE(m_log.Records().empty()) << "the idle stop writes no record";

    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    EXPECT_EQ(KxRecordStatus(), 1);
    Sleep(1300);
    EXPECT_EQ(KxStartRecFile(Path("b.wav").c_str()), 0) << "start while recording";
    EXPECT_FALSE(kxtest::FileExists(Path("b.wav")));
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_EQ(KxRecordStatus(), 0);
    const Bytes data = CompletedData(Path("a.wav"));
    EXPECT_GE(data.size(), 5u * 960) << "1.3 s at 16000 bytes/s";
    EXPECT_EQ(data, PatternPrefix(data.size()));
    const Records records = m_log.Records();
    EXPECT_EQ(HostRecords(records), Records{kStopOk});
    EXPECT_EQ(Count(records, LogText::kRecDeviceOpened), 1);
    EXPECT_EQ(Count(records, LogText::kRecDeviceClosed), 1);

    // A stop at once after a start: whole buffers only, perhaps none, and
    // the input starts again from its first byte.
    ASSERT_EQ(KxStartRecFile(Path("c.wav").c_str()), 1);
    EXPECT_EQ(KxStopRecFile(), 1);
    const Bytes quick = CompletedData(Path("c.wav"));
    EXPECT_EQ(quick, PatternPrefix(quick.size()));
}

TEST_F(RecorderRealTimeThreads, UncreatableFileAndNullNameGiveTheFileErrorSequence) {
    const std::string missing = Path("missing/x.wav");
    for (const char* name : {missing.c_str(), static_cast<const char*>(nullptr), ""}) {
        const size_t mark = Mark();
        EXPECT_EQ(KxStartRecFile(name), -1);
        EXPECT_EQ(Since(mark), Records{LogText::kRecordFileOpenError});
        EXPECT_EQ(KxRecordStatus(), 1) << "the flag stays until the stop";
        const size_t stopMark = Mark();
        EXPECT_EQ(KxStopRecFile(), -1);
        EXPECT_EQ(
            Since(stopMark),
            (Records{LogText::kRecAlreadyOpenError, LogText::kRecReleaseBufferError,
                     LogText::kRecDeviceNotOpen, LogText::kRecordFileCloseError, kStopFailed}));
        EXPECT_EQ(KxRecordStatus(), 0);
    }
}

TEST_F(RecorderRealTimeThreads, WithoutAnInputDeviceTheStopLeavesAnEmptyValidFile) {
    kxtest::ScopedEnv none("KALDRIX_AUDIO", "none");
    EXPECT_EQ(KxStartRecFile(Path("a.wav").c_str()), 0);
    EXPECT_EQ(m_log.Records(), Records{LogText::kRecDeviceOpenError})
        << "the capture thread got the quit: no forced termination";
    EXPECT_EQ(KxRecordStatus(), 1);
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_EQ(Since(mark), kStopAfterFailedStart);
    EXPECT_EQ(CompletedData(Path("a.wav")).size(), 0u);
}

const kxtest::RecorderCalls kLinkedCalls = {KxStartRecFileFormat, KxStopRecFile, KxRecordStatus,
                                            KxStartPlayFile, KxStopPlayFile};

// The format table on the virtual input, fed enough for two seconds of the
// fastest format: each file is a continuous slice of the input from its
// first byte, and a refused format writes the device-open record only. It
// waits on the clock, but its buffers of every size are the address
// sanitizer's business, so it is not labelled realtime.
class RecorderFormatThreads : public RecorderFixture,
                              public ::testing::WithParamInterface<kxtest::RecordingFormat> {
protected:
    void SetUp() override {
        RecorderFixture::SetUp();
        kxtest::WriteFile(Path("long.raw"), m_long);
    }

    const Bytes m_long = kxtest::Pattern(2 * 768000, 9);
    kxtest::ScopedEnv m_longInput{"KALDRIX_VIRTUAL_IN", m_dir.File("long.raw")};
};

TEST_P(RecorderFormatThreads, RecordsTheFormatAskedForOrRefusesItAtOnce) {
    const Bytes data = kxtest::RecordOneRow(kLinkedCalls, GetParam(), Path("rec.wav"));
    EXPECT_EQ(data, Bytes(m_long.begin(), m_long.begin() + static_cast<long>(data.size())));
    EXPECT_EQ(HostRecords(m_log.Records()),
              GetParam().Recordable() ? Records{kStopOk} : Records{LogText::kRecDeviceOpenError});
}

INSTANTIATE_TEST_SUITE_P(Table, RecorderFormatThreads,
                         ::testing::ValuesIn(kxtest::kRecordingFormats),
                         [](const ::testing::TestParamInfo<kxtest::RecordingFormat>& info) {
                             return std::string(info.param.name);
                         });

struct StepFailure {
    const char* operation;
    unsigned nth;
    const char* record;
    bool deviceOpened;
    const char* name;
};

void PrintTo(const StepFailure& step, std::ostream* out) { *out << step.name; }

class RecorderStepFailureThreads : public RecorderFixture,
                                   public ::testing::WithParamInterface<StepFailure> {};

// The step's record, the steps already taken undone in reverse order (the
// capture thread still there to see the device close), nothing left behind,
// the flag kept until the stop, and the stop's sequence.
TEST_P(RecorderStepFailureThreads, UndoesTheStepsTakenAndLeaksNothing) {
    const StepFailure& step = GetParam();
    kxtest::FailOperation(step.operation, 99, step.nth, 1);
    EXPECT_EQ(KxStartRecFile(Path("a.wav").c_str()), 0);
    kxtest::ClearFailures();
    const Records records = m_log.Records();
    EXPECT_EQ(HostRecords(records), Records{step.record});
    EXPECT_EQ(Count(records, LogText::kRecDeviceOpened), step.deviceOpened ? 1 : 0);
    EXPECT_EQ(Count(records, LogText::kRecDeviceClosed), step.deviceOpened ? 1 : 0);
    EXPECT_EQ(kxtest::OpenWaveInDevices(), 0u);
    EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 0u);
    EXPECT_EQ(kxtest::OpenHandleCount(), m_handles) << "the thread's handle is closed";
    EXPECT_EQ(KxRecordStatus(), 1);

    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_EQ(Since(mark), kStopAfterFailedStart);
    EXPECT_EQ(CompletedData(Path("a.wav")).size(), 0u);
}

const StepFailure kStepFailures[] = {
    {"CreateThread", 1, LogText::kRecThreadOpenError, false, "CreateThread"},
    {"waveInOpen", 1, LogText::kRecDeviceOpenError, false, "Query"},
    {"waveInOpen", 2, LogText::kRecDeviceOpenError, false, "Open"},
    {"waveInReset", 1, LogText::kRecResetError, true, "Reset"},
    {"waveInPrepareHeader", 1, LogText::kRecPrepareError, true, "FirstPrepare"},
    {"waveInPrepareHeader", 6, LogText::kRecPrepareError, true, "SixthPrepare"},
    {"waveInPrepareHeader", 10, LogText::kRecPrepareError, true, "TenthPrepare"},
    {"waveInAddBuffer", 1, LogText::kRecAddBufferError, true, "FirstAdd"},
    {"waveInAddBuffer", 10, LogText::kRecAddBufferError, true, "TenthAdd"},
    {"waveInStart", 1, LogText::kRecStartError, true, "Start"},
};

INSTANTIATE_TEST_SUITE_P(Steps, RecorderStepFailureThreads, ::testing::ValuesIn(kStepFailures),
                         [](const ::testing::TestParamInfo<StepFailure>& info) {
                             return std::string(info.param.name);
                         });

// A slow file holds the capture thread back while the device fills every
// buffer; the full buffers it gives back to the device after the stop's reset
// are got back again before anything is freed.
TEST_F(RecorderBufferThreads, BuffersGivenBackAfterTheResetAreReclaimedBeforeFreeing) {
    const std::string pipe = Path("slow.pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 4096); // the header and four buffers
    ASSERT_EQ(KxStartRecFile(pipe.c_str()), 1);
    Sleep(1200); // the capture thread is stuck on its fifth buffer

    std::atomic<bool> stopped{false};
    int stopResult = 0;
    const size_t mark = Mark();
    std::thread stopper([&] {
        stopResult = KxStopRecFile();
        stopped.store(true);
    });
    Sleep(300);
    Bytes written;
    while (!stopped.load()) {
        char chunk[4096];
        const ssize_t got = read(reader, chunk, sizeof chunk);
        if (got > 0)
            written.insert(written.end(), chunk, chunk + got);
        else
            Sleep(5);
    }
    stopper.join();
    close(reader);

    // The pipe cannot seek, so completing it fails; no buffer was kept.
    EXPECT_EQ(stopResult, -1);
    EXPECT_EQ(HostRecords(Since(mark)), (Records{LogText::kRecordFileCloseError, kStopFailed}));
    EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 0u);
    ASSERT_GE(written.size(), 44u + 10 * 960) << "every full buffer was written";
    EXPECT_EQ((written.size() - 44) % 960, 0u);
    EXPECT_EQ(Bytes(written.begin() + 44, written.end()), PatternPrefix(written.size() - 44));

    ASSERT_EQ(KxStartRecFile(Path("next.wav").c_str()), 1) << "nothing left prepared";
    Sleep(300);
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_FALSE(CompletedData(Path("next.wav")).empty());
}

TEST_F(RecorderBufferThreads, UnprepareFailingAtTheStopLeaksNothingAndAllowsTheNextStart) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    Sleep(300);
    kxtest::FailOperation("waveInUnprepareHeader", WAVERR_STILLPLAYING, 1, 0);
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1);
    kxtest::ClearFailures();
    Records expected(10, LogText::kRecReleaseBufferError);
    expected.push_back(kStopOk);
    EXPECT_EQ(HostRecords(Since(mark)), expected);
    CompletedData(Path("a.wav"));

    ASSERT_EQ(KxStartRecFile(Path("b.wav").c_str()), 1);
    Sleep(300);
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_FALSE(CompletedData(Path("b.wav")).empty());
}

// A device that cannot be reset keeps its buffers and cannot be closed: they
// stay allocated while it may write into them (the address sanitizer sees any
// write into freed ones), and the next start closes it and frees them.
TEST_F(RecorderBufferThreads, BuffersOfADeviceThatCannotBeClosedAreKeptUntilItCloses) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    Sleep(300);
    kxtest::FailOperation("waveInReset", MMSYSERR_ERROR, 1, 0);
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1) << "the file is complete";
    Records expected{LogText::kRecCloseError};
    expected.insert(expected.end(), 10, LogText::kRecReleaseBufferError);
    expected.insert(expected.end(), {LogText::kRecCloseError, kStopOk});
    EXPECT_EQ(HostRecords(Since(mark)), expected);
    CompletedData(Path("a.wav"));
    EXPECT_EQ(kxtest::OpenWaveInDevices(), 1u);
    EXPECT_EQ(kxtest::OpenHandleCount(), m_handles) << "the thread was stopped";
    Sleep(200); // the device goes on filling what it holds
    kxtest::ClearFailures();

    ASSERT_EQ(KxStartRecFile(Path("b.wav").c_str()), 1);
    EXPECT_EQ(kxtest::OpenWaveInDevices(), 1u) << "the start closed the device left open";
    EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 10u);
    Sleep(300);
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_FALSE(CompletedData(Path("b.wav")).empty());
}

// A capture thread held inside a write past the stop's wait is terminated;
// once its write returns it must touch nothing of the next recording.
TEST_F(RecorderRealTimeThreads, ThreadTerminatedInsideAWriteNeverReachesTheNextRecording) {
    kxtest::HoldNextFileWrite();
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    ASSERT_TRUE(kxtest::WaitForHeldFileWrite(5000));
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_EQ(Count(Since(mark), LogText::kRecThreadStopped), 1);
    EXPECT_TRUE(CompletedData(Path("a.wav")).empty());

    ASSERT_EQ(KxStartRecFile(Path("b.wav").c_str()), 1);
    kxtest::ReleaseFileWrite(); // the held write returns while b records
    Sleep(600);
    EXPECT_EQ(KxStopRecFile(), 1);
    const Bytes data = CompletedData(Path("b.wav"));
    EXPECT_FALSE(data.empty());
    EXPECT_EQ(data, PatternPrefix(data.size())) << "b holds only its own input";
}

// A header cut short by a full disk at the start is never reported complete.
// The header is one write: it fails whole, or stops part-way at a file size
// limit.
TEST_F(RecorderRealTimeThreads, StopAfterAHeaderCutShortFails) {
    for (const rlim_t limit : {rlim_t{0}, rlim_t{20}}) {
        SCOPED_TRACE(limit);
        struct rlimit old {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = limit;
        if (limit == 0)
            kxtest::FailOperation("CFile::Write", ENOSPC, 1);
        else
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_EQ(KxStartRecFile(Path("a.wav").c_str()), -1);
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(kxtest::ReadFile(Path("a.wav")).size(), limit);
        const size_t mark = Mark();
        EXPECT_EQ(KxStopRecFile(), -1);
        EXPECT_EQ(
            HostRecords(Since(mark)),
            (Records{LogText::kRecAlreadyOpenError, LogText::kRecReleaseBufferError,
                     LogText::kRecDeviceNotOpen, LogText::kRecordFileCloseError, kStopFailed}));
        EXPECT_EQ(KxRecordStatus(), 0);
    }
}

// A write that fails at a file size limit stops the appending, and so does a
// processor fault on the capture thread, which the host survives. The stop
// still completes and closes the file with the whole buffers it holds (a
// buffer written in part is cut off), but answers -1: captured sound is lost.
TEST_F(RecorderRealTimeThreads, FailedWriteStopsAppendingAndTheStopReportsIt) {
    struct Case {
        const char* name;
        const char* file;
        rlim_t limit;
        DWORD recordMs;
        size_t buffersKept;
        std::string lossRecord;
    };
    // The fault comes once the ten buffers are in the file, none given back
    // to the device: a header the capture thread reads from a page that
    // faults on any access.
    const std::string faultRecord = "\nException  CaptureThreadProc";
    const Case cases[] = {
        {"part-way through the sixth buffer", "a.wav", 44 + 5 * 960 + 500, 900, 5,
         LogText::kRecordFileWriteError},
        {"after 1.2 s of a 3 s recording", "b.wav", 44 + 20 * 960, 3000, 20,
         LogText::kRecordFileWriteError},
        {"a fault on the capture thread", "c.wav", RLIM_INFINITY, 0, 10, faultRecord},
    };
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const size_t mark = Mark();
        const int startResult = KxStartRecFile(Path(c.file).c_str());
        Sleep(c.recordMs);
        if (c.lossRecord == faultRecord) {
            kxtest::FailOperation("waveInAddBuffer", MMSYSERR_ERROR, 1, 0);
            for (int poll = 0; kxtest::ReadFile(Path(c.file)).size() < 44 + 10 * 960 && poll < 500;
                 ++poll)
                Sleep(10);
            static void* const page =
                mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            PostThreadMessageA(CWaveRecorderTestPeer(g_Recorder).CaptureThreadId(), MM_WIM_DATA, 0,
                               reinterpret_cast<LPARAM>(page));
        }
        const int stopResult = KxStopRecFile();
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);

        ASSERT_EQ(startResult, 1);
        EXPECT_EQ(stopResult, -1);
        EXPECT_EQ(HostRecords(Since(mark)), (Records{c.lossRecord, kStopFailed}));
        const Bytes data = CompletedData(Path(c.file));
        EXPECT_EQ(data.size(), c.buffersKept * 960) << "only whole buffers, and only those written";
        EXPECT_EQ(data, PatternPrefix(data.size()));
        EXPECT_EQ(DescriptorsOn(Path(c.file)), 0) << "the file is closed";
    }
}

// At process exit the detach reports the lost data as the stop does. Runs in
// a fresh copy of this program, where the capture thread may be left running.
void ProcessExitAfterAFailedWrite(const std::string& path, const kxtest::LogCapture& log) {
    kxtest::FailOperation("CFile::Write", ENOSPC, 2); // the first after the header
    if (KxStartRecFile(path.c_str()) != 1)
        _exit(10);
    for (int poll = 0; Count(log.Records(), LogText::kRecordFileWriteError) == 0; ++poll) {
        if (poll == 1000)
            _exit(11);
        Sleep(10);
    }
    const size_t mark = log.Records().size();
    StopRecordingAtExit(true);
    const Records records = log.Records();
    if (Records(records.begin() + static_cast<long>(mark), records.end()) != Records{kStopFailed})
        _exit(12);
    const Bytes file = kxtest::ReadFile(path);
    _exit(file.size() == 44 && kxtest::ReadLe32(file, 4) == 36 && kxtest::ReadLe32(file, 40) == 0
              ? 0
              : 13);
}

using RecorderDeathTest = RecorderFixture;

TEST_F(RecorderDeathTest, ProcessExitAfterAFailedWriteReportsIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ProcessExitAfterAFailedWrite(Path("a.wav"), m_log), testing::ExitedWithCode(0), "")
        << "10: start, 11: no write error, 12: records, 13: file";
}

// While recording, the header's sizes follow the file from the first buffer
// on and every 16 buffers after it, so that a host killed meanwhile leaves a
// valid file; an update that fails counts as a failed write.
TEST_F(RecorderRealTimeThreads, SizesFollowTheFileWhileRecording) {
    struct Case {
        const char* name;
        unsigned failedUpdate; // the nth positional write fails; 0 for none
        int stopResult;
    };
    const Case cases[] = {{"updates succeed", 0, 1}, {"the second update fails", 3, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.failedUpdate)
            kxtest::FailOperation("CFile::WriteAt", EIO, c.failedUpdate);
        const size_t mark = Mark();
        ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
        Sleep(2500);
        const Bytes during = kxtest::ReadFile(Path("a.wav"));
        EXPECT_EQ(KxStopRecFile(), c.stopResult);
        ASSERT_GE(during.size(), 44u);
        const uint32_t declared = kxtest::ReadLe32(during, 40);
        EXPECT_EQ(kxtest::ReadLe32(during, 4), 36 + declared);
        if (c.failedUpdate) {
            EXPECT_EQ(declared, 960u) << "the first update only";
            EXPECT_EQ(during.size(), 44u + 17 * 960) << "appending stopped at the failed update";
            EXPECT_EQ(HostRecords(Since(mark)),
                      (Records{LogText::kRecordFileWriteError, kStopFailed}));
        } else {
            EXPECT_EQ(declared / 960 % 16, 1u) << declared;
            EXPECT_GE(declared, 17u * 960) << "2.5 s hold 41 buffers";
            EXPECT_LE(44 + declared, during.size());
            EXPECT_LT(during.size(), 44 + declared + 17 * 960);
        }
        const Bytes data = CompletedData(Path("a.wav"));
        EXPECT_GE(data.size(), 17u * 960);
        EXPECT_EQ(data, PatternPrefix(data.size()));
        kxtest::ClearFailures();
    }
}

TEST_F(RecorderRealTimeThreads, RecordingStopsGrowingBeforeTheSizeFieldsOverflow) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    CWaveRecorderTestPeer(g_Recorder).SetBytesRecorded(kLargestData - 2 * 960);
    Sleep(700);
    EXPECT_EQ(KxStopRecFile(), 1);
    const Records records = m_log.Records();
    EXPECT_EQ(HostRecords(records), (Records{LogText::kRecordFileTooLarge, kStopOk}));
    const Bytes file = kxtest::ReadFile(Path("a.wav"));
    ASSERT_GE(file.size(), 44u);
    EXPECT_EQ(kxtest::ReadLe32(file, 40), kLargestData);
    EXPECT_EQ(kxtest::ReadLe32(file, 4), 36 + kLargestData);
    EXPECT_GE(file.size(), 44u + 2 * 960);
    EXPECT_LE(file.size(), 44u + 3 * 960) << "two more buffers (one if counted before the hook)";
}

TEST_F(RecorderRealTimeThreads, FailedCloseStillStopsTheThreadSoTheNextStartRecords) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    Sleep(300);
    kxtest::FailOperation("waveInClose", MMSYSERR_ERROR);
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_EQ(HostRecords(Since(mark)), (Records{LogText::kRecCloseError, kStopOk}));
    EXPECT_EQ(kxtest::OpenWaveInDevices(), 1u) << "the device whose close failed stays open";
    EXPECT_EQ(kxtest::OpenHandleCount(), m_handles) << "the thread was stopped";

    ASSERT_EQ(KxStartRecFile(Path("b.wav").c_str()), 1);
    EXPECT_EQ(kxtest::OpenWaveInDevices(), 1u) << "the next start closed the one left open";
    Sleep(300);
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_FALSE(CompletedData(Path("b.wav")).empty());
}

TEST_F(RecorderRealTimeThreads, LostQuitTerminatesTheThreadAndClosesItsHandle) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    Sleep(300);
    kxtest::FailOperation("PostThreadMessageA", ERROR_INVALID_THREAD_ID);
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_EQ(HostRecords(Since(mark)), (Records{LogText::kRecThreadStopped, kStopOk}));
    EXPECT_EQ(kxtest::OpenHandleCount(), m_handles);
    const Bytes data = CompletedData(Path("a.wav"));
    EXPECT_EQ(data, PatternPrefix(data.size()));

    ASSERT_EQ(KxStartRecFile(Path("b.wav").c_str()), 1);
    Sleep(300);
    EXPECT_EQ(KxStopRecFile(), 1);
    EXPECT_FALSE(CompletedData(Path("b.wav")).empty());
}

TEST_F(RecorderRealTimeThreads, FileLeftOpenByAFailedStopIsClosedByTheNextStart) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    Sleep(200);
    kxtest::FailOperation("CFile::Seek", EIO);
    const size_t mark = Mark();
    EXPECT_EQ(KxStopRecFile(), -1);
    EXPECT_EQ(HostRecords(Since(mark)), (Records{LogText::kRecordFileCloseError, kStopFailed}));
    EXPECT_EQ(DescriptorsOn(Path("a.wav")), 1);

    ASSERT_EQ(KxStartRecFile(Path("b.wav").c_str()), 1);
    EXPECT_EQ(DescriptorsOn(Path("a.wav")), 0);
    EXPECT_EQ(KxStopRecFile(), 1);
    CompletedData(Path("b.wav"));
}

TEST_F(RecorderRealTimeThreads, TwoHostsStartingAtOnceGetOneRecording) {
    for (int round = 0; round < 2; ++round) {
        const std::string paths[2] = {Path("a.wav") + std::to_string(round),
                                      Path("b.wav") + std::to_string(round)};
        std::atomic<int> ready{0};
        int results[2] = {};
        std::thread hosts[2];
        for (int i = 0; i < 2; ++i) {
            hosts[i] = std::thread([&, i] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                results[i] = KxStartRecFile(paths[i].c_str());
            });
        }
        for (auto& host : hosts)
            host.join();
        EXPECT_EQ(results[0] + results[1], 1) << results[0] << " " << results[1];
        const int winner = results[0] == 1 ? 0 : 1;
        EXPECT_FALSE(kxtest::FileExists(paths[1 - winner]));
        Sleep(200);
        EXPECT_EQ(KxStopRecFile(), 1);
        const Bytes data = CompletedData(paths[winner]);
        EXPECT_EQ(data, PatternPrefix(data.size()));
    }
    EXPECT_EQ(Count(m_log.Records(), LogText::kRecThreadAlreadyStarted), 0);
}

TEST_F(RecorderRealTimeThreads, StatusAnswersAtOnceWhileAStopHoldsTheLock) {
    ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 1);
    std::thread stopper([] { KxStopRecFile(); });
    Sleep(300);
    const DWORD asked = GetTickCount();
    EXPECT_EQ(KxRecordStatus(), 0);
    EXPECT_LT(GetTickCount() - asked, 1000u);
    stopper.join();
}

using RecorderThreads = RecorderFixture;

// The start waits for the capture thread's queue, so a quit posted at once
// always reaches the thread.
TEST_F(RecorderThreads, ThreadStoppedAtOnceAfterItsStartEndsByItself) {
    CWaveRecorderTestPeer recorder(g_Recorder);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(recorder.StartThread(), 1);
        recorder.StopThread();
    }
    EXPECT_EQ(Count(m_log.Records(), LogText::kRecThreadStopped), 0);
}

TEST_F(RecorderThreads, QueueThatNeverAppearsFailsTheThreadStart) {
    CWaveRecorderTestPeer recorder(g_Recorder);
    kxtest::FailOperation("PostThreadMessageA", ERROR_INVALID_THREAD_ID, 1, 0);
    const DWORD begun = GetTickCount();
    EXPECT_EQ(recorder.StartThread(), 0);
    EXPECT_GE(GetTickCount() - begun, 900u);
    kxtest::ClearFailures();
    EXPECT_EQ(m_log.Records(), Records{LogText::kRecThreadOpenError});
    EXPECT_EQ(kxtest::OpenHandleCount(), m_handles);
    ASSERT_EQ(recorder.StartThread(), 1) << "the failed start left no running thread behind";
    recorder.StopThread();
}

// At process exit the detach completes the file from its length alone,
// whole buffers only, and only then writes the stop's record: also when the
// exit caught a stop past its first step, which clears the flag.
TEST_F(RecorderThreads, ProcessExitCompletesTheFileFromItsLength) {
    StopRecordingAtExit(true);
    EXPECT_TRUE(m_log.Records().empty()) << "nothing to do while idle";
    for (const bool stopBegun : {false, true}) {
        SCOPED_TRACE(stopBegun ? "a stop past its first step" : "recording");
        {
            kxtest::ScopedEnv none("KALDRIX_AUDIO", "none");
            ASSERT_EQ(KxStartRecFile(Path("a.wav").c_str()), 0); // the file stays open
        }
        const int appender = open(Path("a.wav").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(appender, 0);
        ASSERT_EQ(write(appender, m_pattern.data(), 2400), 2400);
        close(appender);
        if (stopBegun)
            CWaveRecorderTestPeer(g_Recorder).ClearRecordingFlag();
        const size_t mark = Mark();
        StopRecordingAtExit(true);
        EXPECT_EQ(Since(mark), Records{kStopOk});
        EXPECT_EQ(KxRecordStatus(), 0);
        EXPECT_EQ(CompletedData(Path("a.wav")), PatternPrefix(1920));
        EXPECT_EQ(DescriptorsOn(Path("a.wav")), 0);
    }
    const size_t mark = Mark();
    StopRecordingAtExit(true);
    EXPECT_EQ(Since(mark), Records{}) << "a completed file is left alone";
}

} // namespace
