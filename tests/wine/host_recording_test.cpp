// SPDX-License-Identifier: MIT
// Recording through KALDRIX.dll and Wine's own winmm: with no device, and
// against the private audio server, whose "feed" sink scripts/wine-run.sh --fed
// plays a known stream into, so that every recording must be an exact slice
// of it.
#include "HostSupport.h"
#include "log/LogText.h"
#include "support/RecordingFormats.h"

#include <cstring>
#include <string>
#include <tlhelp32.h>

namespace {

using kxhost::Library;
using kxtest::Bytes;
using kxtest::ReadLe32;

constexpr size_t kHeaderSize = 44;
constexpr size_t kBufferSize = 960;

// Checks the 44-byte header of a recording, whose sizes must be consistent
// and fit the file, and returns the data it declares.
Bytes DeclaredData(const Bytes& file) {
    if (file.size() < kHeaderSize) {
        ADD_FAILURE() << "the file holds " << file.size() << " bytes, less than a header";
        return {};
    }
    const Bytes header(file.begin(), file.begin() + kHeaderSize);
    const uint32_t dataSize = ReadLe32(header, 40);
    if (kHeaderSize + dataSize > file.size()) {
        ADD_FAILURE() << "the header declares " << dataSize << " bytes of data in a file of "
                      << file.size();
        return {};
    }
    EXPECT_EQ(dataSize % kBufferSize, 0u);
    EXPECT_EQ(ReadLe32(header, 4), 36 + dataSize);
    EXPECT_EQ(std::memcmp(header.data(), "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(header.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(std::memcmp(header.data() + 36, "data", 4), 0);
    // 16-byte chunk, PCM, 1 channel, 8000 Hz, 16000 bytes a second, 2, 16 bits.
    const Bytes format = {16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0};
    EXPECT_EQ(Bytes(header.begin() + 16, header.begin() + 36), format);
    return Bytes(file.begin() + kHeaderSize, file.begin() + kHeaderSize + dataSize);
}

// The same for a completed recording, whose sizes match its length.
Bytes DataOfValidRecording(const Bytes& file) {
    const Bytes data = DeclaredData(file);
    EXPECT_EQ(file.size(), kHeaderSize + data.size()) << "the file is not complete";
    return data;
}

// The recorded data must be one continuous piece of what the server was fed.
void ExpectSliceOfFeed(const Bytes& data, size_t minimumSize) {
    const std::string feedPath = kxhost::RigFile("KALDRIX_WINE_FEED");
    ASSERT_FALSE(feedPath.empty()) << "run by scripts/wine-run.sh --fed, which feeds the server";
    const Bytes feed = kxtest::ReadFile(feedPath);
    ASSERT_GE(data.size(), minimumSize);
    const size_t start = kxhost::Find(feed, Bytes(data.begin(), data.begin() + kBufferSize));
    ASSERT_NE(start, std::string::npos) << "the first buffer is not from the feed";
    ASSERT_LE(start + data.size(), feed.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), feed.begin() + static_cast<long>(start)))
        << "the recording is not a continuous slice of the feed";
}

TEST(WineNoDeviceRecording, StartFailsAtTheDeviceAndTheStopCompletesAnEmptyFile) {
    kxtest::TempDir dir;
    const std::string path = dir.File("none.wav");
    kxhost::EchoCapture capture;
    Library library;
    ASSERT_NE(library.get(), nullptr);
    int started = -1;
    int status = -1;
    const std::string startEcho = capture.Of([&] {
        started = library.StartRecFile(path.c_str());
        status = library.RecordStatus();
    });
    EXPECT_EQ(started, 0);
    EXPECT_EQ(status, 1) << "the flag stays up until the stop";
    EXPECT_EQ(startEcho, kxhost::Echo({LogText::kRecDeviceOpenError}));

    int stopped = -1;
    const std::string stopEcho = capture.Of([&] { stopped = library.StopRecFile(); });
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(library.RecordStatus(), 0);
    EXPECT_EQ(stopEcho,
              kxhost::Echo({LogText::kRecAlreadyOpenError, LogText::kRecReleaseBufferError,
                            LogText::kRecDeviceNotOpen, "\nStopRecordFile Return 1"}));
    EXPECT_TRUE(DataOfValidRecording(kxtest::ReadFile(path)).empty());
}

TEST(WineAudioServerRecording, AFewSecondsGiveAValidFileThatIsAnExactSliceOfTheFeed) {
    kxtest::TempDir dir;
    const std::string path = dir.File("server.wav");
    Library library;
    ASSERT_NE(library.get(), nullptr);
    ASSERT_EQ(library.StartRecFile(path.c_str()), 1);
    EXPECT_EQ(library.RecordStatus(), 1);
    Sleep(3000);
    EXPECT_EQ(library.StopRecFile(), 1);
    EXPECT_EQ(library.RecordStatus(), 0);
    // Three seconds hold 50 buffers; a busy machine may deliver fewer.
    ExpectSliceOfFeed(DataOfValidRecording(kxtest::ReadFile(path)), 20 * kBufferSize);
}

TEST(WineAudioServerRecording, FreeLibraryWhileRecordingKeepsItRunningForTheNextLoad) {
    kxtest::TempDir dir;
    const std::string path = dir.File("reloaded.wav");
    {
        Library first;
        ASSERT_NE(first.get(), nullptr);
        ASSERT_EQ(first.StartRecFile(path.c_str()), 1);
        Sleep(1000);
        EXPECT_TRUE(first.Unload());
    }
    EXPECT_NE(GetModuleHandleA(kxhost::kLibraryName), nullptr)
        << "the capture thread keeps the library loaded";
    Sleep(500);
    {
        Library again;
        ASSERT_NE(again.get(), nullptr);
        EXPECT_EQ(again.RecordStatus(), 1);
        EXPECT_EQ(again.StopRecFile(), 1);
    }
    EXPECT_TRUE(kxhost::LibraryGone(5000)) << "the stopped thread gave its reference back";
    ExpectSliceOfFeed(DataOfValidRecording(kxtest::ReadFile(path)), 10 * kBufferSize);
}

// A recording call on a thread of its own, whose return the host can see.
struct Call {
    const Library* library;
    const char* path;
    volatile LONG returned;
};

DWORD WINAPI StartOnThread(LPVOID parameter) {
    auto* call = static_cast<Call*>(parameter);
    call->library->StartRecFile(call->path);
    InterlockedExchange(&call->returned, 1);
    return 0;
}

DWORD WINAPI StopOnThread(LPVOID parameter) {
    auto* call = static_cast<Call*>(parameter);
    call->library->StopRecFile();
    InterlockedExchange(&call->returned, 1);
    return 0;
}

using GetThreadDescriptionProc = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// The library's capture thread, found by its name ("kx-capture"), opened for
// suspending; null if there is none.
HANDLE OpenCaptureThread() {
    const auto describe = reinterpret_cast<GetThreadDescriptionProc>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetThreadDescription")));
    if (!describe)
        return nullptr;
    HANDLE found = nullptr;
    const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(threads, &entry); more && !found;
         more = Thread32Next(threads, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId())
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION | THREAD_SUSPEND_RESUME, FALSE,
                                   entry.th32ThreadID);
        PWSTR name = nullptr;
        if (thread && SUCCEEDED(describe(thread, &name)) && name) {
            if (std::wstring(name) == L"kx-capture")
                found = thread;
            LocalFree(name);
        }
        if (thread && thread != found)
            CloseHandle(thread);
    }
    CloseHandle(threads);
    return found;
}

bool FileHoldsAtLeast(const char* path, DWORD bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &data) && data.nFileSizeLow >= bytes;
}

// The child's exit code when it did not catch the moment it was asked for.
constexpr UINT kMomentMissed = 3;

// Run only as the child of the next test: records into the file that
// KALDRIX_WINE_EXIT_RECORDING names and ends the process with ExitProcess
// at the moment KALDRIX_WINE_EXIT_MOMENT names.
TEST(WineAudioServerRecording, DISABLED_ChildExitsWhileRecording) {
    const char* path = std::getenv("KALDRIX_WINE_EXIT_RECORDING");
    const char* moment = std::getenv("KALDRIX_WINE_EXIT_MOMENT");
    ASSERT_NE(path, nullptr);
    ASSERT_NE(moment, nullptr);
    const std::string at = moment;
    Library library;
    Call call{&library, path, 0};
    if (at == "a start past its header") {
        // Held where the header is written but the start has not returned.
        const HANDLE starter = CreateThread(nullptr, 0, StartOnThread, &call, 0, nullptr);
        while (!FileHoldsAtLeast(path, kHeaderSize) && !call.returned)
            Sleep(0);
        SuspendThread(starter);
        ExitProcess(call.returned ? kMomentMissed : 0);
    }
    ASSERT_EQ(library.StartRecFile(path), 1);
    Sleep(1500);
    if (at == "recording")
        ExitProcess(0);
    // A capture thread held still makes the stop wait 1 s for its buffers,
    // then 1 s more keeping them, then close the device and wait 0.5 s for
    // the thread before it gives it up and writes the sizes: the exit is
    // aimed at the middle of that last half second.
    const bool pastTheClose = at == "a stop past the device's close";
    if (pastTheClose) {
        const HANDLE capture = OpenCaptureThread();
        ASSERT_NE(capture, nullptr) << "no thread named kx-capture";
        SuspendThread(capture);
    }
    CreateThread(nullptr, 0, StopOnThread, &call, 0, nullptr);
    Sleep(pastTheClose ? 3750 : 600);
    ExitProcess(call.returned ? kMomentMissed : 0);
}

// Whatever moment of a recording the host's exit catches, the file is
// completed: the stop clears the recording flag first, so the library also
// asks whether the file still waits for its sizes.
TEST(WineAudioServerRecording, AHostThatExitsAtAnyMomentOfARecordingLeavesAValidFile) {
    struct Case {
        const char* moment;
        size_t minimumBuffers;
    };
    const Case cases[] = {{"recording", 5},
                          {"a start past its header", 0},
                          {"a stop in its pause", 5},
                          {"a stop past the device's close", 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.moment);
        kxtest::TempDir dir;
        const std::string path = dir.File("exit.wav");
        kxtest::ScopedEnv target("KALDRIX_WINE_EXIT_RECORDING", path);
        kxtest::ScopedEnv moment("KALDRIX_WINE_EXIT_MOMENT", c.moment);
        DWORD exitCode = kMomentMissed;
        for (int run = 0; run < 3 && exitCode == kMomentMissed; ++run)
            exitCode =
                kxhost::RunChildTest("WineAudioServerRecording.DISABLED_ChildExitsWhileRecording");
        ASSERT_EQ(exitCode, 0u) << "3: the moment was missed three times";
        const Bytes data = DataOfValidRecording(kxtest::ReadFile(path));
        if (c.minimumBuffers)
            ExpectSliceOfFeed(data, c.minimumBuffers * kBufferSize);
    }
}

template <typename Function> Function Found(const Library& library, const char* name) {
    const FARPROC found = library.Export(name);
    EXPECT_NE(found, nullptr) << name << " is not exported";
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

using WineAudioServerRecordingFormats = ::testing::TestWithParam<kxtest::RecordingFormat>;

// The format table through Wine's wave mapper, whose source the server
// converts from its 8000 Hz 16-bit mono feed: a recording of that format is
// a slice of the feed, and a refused format writes the device-open record
// only.
TEST_P(WineAudioServerRecordingFormats, RecordsTheFormatAskedForOrRefusesItAtOnce) {
    const kxtest::RecordingFormat& format = GetParam();
    kxtest::TempDir dir;
    kxhost::EchoCapture capture;
    Library library;
    ASSERT_NE(library.get(), nullptr);
    const kxtest::RecorderCalls calls = {
        Found<decltype(calls.startRecFileFormat)>(library, "KxStartRecFileFormat"),
        Found<decltype(calls.stopRecFile)>(library, "KxStopRecFile"),
        Found<decltype(calls.recordStatus)>(library, "KxRecordStatus"),
        Found<decltype(calls.startPlayFile)>(library, "KxStartPlayFile"),
        Found<decltype(calls.stopPlayFile)>(library, "KxStopPlayFile")};
    ASSERT_FALSE(HasFailure());
    Bytes data;
    const std::string echo =
        capture.Of([&] { data = kxtest::RecordOneRow(calls, format, dir.File("rec.wav")); });
    if (!format.Recordable()) {
        EXPECT_EQ(echo, kxhost::Echo({LogText::kRecDeviceOpenError}));
    }
    if (format.samplesPerSec == 8000 && format.channels == 1 && format.bitsPerSample == 16)
        ExpectSliceOfFeed(data, 8 * kBufferSize);
}

INSTANTIATE_TEST_SUITE_P(Table, WineAudioServerRecordingFormats,
                         ::testing::ValuesIn(kxtest::kRecordingFormats),
                         [](const ::testing::TestParamInfo<kxtest::RecordingFormat>& info) {
                             return std::string(info.param.name);
                         });

// Run only as the child of the next test: records into the file that
// KALDRIX_WINE_KILLED_RECORDING names until it is killed.
TEST(WineAudioServerRecording, DISABLED_ChildRecordsUntilKilled) {
    const char* path = std::getenv("KALDRIX_WINE_KILLED_RECORDING");
    ASSERT_NE(path, nullptr);
    Library library;
    ASSERT_EQ(library.StartRecFile(path), 1);
    Sleep(60000);
}

// The header's sizes follow the file about once a second while recording,
// so a host killed after 3.5 s leaves a valid file declaring 2 s and more.
TEST(WineAudioServerRecording, AHostKilledWhileRecordingLeavesAValidFile) {
    kxtest::TempDir dir;
    const std::string path = dir.File("killed.wav");
    kxtest::ScopedEnv target("KALDRIX_WINE_KILLED_RECORDING", path);
    const HANDLE child =
        kxhost::StartChildTest("WineAudioServerRecording.DISABLED_ChildRecordsUntilKilled");
    ASSERT_NE(child, nullptr);
    for (int poll = 0; poll < 1000 && !FileHoldsAtLeast(path.c_str(), kHeaderSize + 1); ++poll)
        Sleep(20);
    Sleep(3500);
    TerminateProcess(child, 9);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
    ExpectSliceOfFeed(DeclaredData(kxtest::ReadFile(path)), 32000);
}

} // namespace
