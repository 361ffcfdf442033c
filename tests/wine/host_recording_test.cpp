// SPDX-License-Identifier: MIT
// Recording through KALDRIX.dll and Wine's own winmm: with no device, and
// against the private audio server, whose "feed" sink scripts/wine-run.sh --fed
// plays a known stream into, so that every recording must be an exact slice
// of it.
#include "HostSupport.h"
#include "log/LogText.h"

#include <cstring>

namespace {

using kxhost::Library;
using kxtest::Bytes;
using kxtest::ReadLe32;

constexpr size_t kHeaderSize = 44;
constexpr size_t kBufferSize = 960;

// Checks the 44-byte header of a completed recording and returns its data.
Bytes DataOfValidRecording(const Bytes& file) {
    if (file.size() < kHeaderSize) {
        ADD_FAILURE() << "the file holds " << file.size() << " bytes, less than a header";
        return {};
    }
    const Bytes header(file.begin(), file.begin() + kHeaderSize);
    const uint32_t dataSize = ReadLe32(header, 40);
    EXPECT_EQ(file.size(), kHeaderSize + dataSize);
    EXPECT_EQ(dataSize % kBufferSize, 0u);
    EXPECT_EQ(ReadLe32(header, 4), 36 + dataSize);
    EXPECT_EQ(std::memcmp(header.data(), "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(header.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(std::memcmp(header.data() + 36, "data", 4), 0);
    // 16-byte chunk, PCM, 1 channel, 8000 Hz, 16000 bytes a second, 2, 16 bits.
    const Bytes format = {16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0};
    EXPECT_EQ(Bytes(header.begin() + 16, header.begin() + 36), format);
    return Bytes(file.begin() + kHeaderSize, file.end());
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
    Library library;
    ASSERT_NE(library.get(), nullptr);
    int started = -1;
    int status = -1;
    const std::string startEcho = kxhost::EchoOf([&] {
        started = library.StartRecFile(path.c_str());
        status = library.RecordStatus();
    });
    EXPECT_EQ(started, 0);
    EXPECT_EQ(status, 1) << "the flag stays up until the stop";
    EXPECT_EQ(startEcho, kxhost::Echo({LogText::kRecDeviceOpenError}));

    int stopped = -1;
    const std::string stopEcho = kxhost::EchoOf([&] { stopped = library.StopRecFile(); });
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

// Run only as the child of the next test: starts a recording into the file
// that KALDRIX_WINE_EXIT_RECORDING names and ends the process meanwhile.
TEST(WineAudioServerRecording, DISABLED_ChildExitsWhileRecording) {
    const char* path = std::getenv("KALDRIX_WINE_EXIT_RECORDING");
    ASSERT_NE(path, nullptr);
    Library library;
    ASSERT_EQ(library.StartRecFile(path), 1);
    Sleep(1500);
    ExitProcess(0);
}

TEST(WineAudioServerRecording, AHostThatExitsWhileRecordingLeavesAValidFile) {
    kxtest::TempDir dir;
    const std::string path = dir.File("exit.wav");
    kxtest::ScopedEnv target("KALDRIX_WINE_EXIT_RECORDING", path);
    // The child's output would only confuse this program's own.
    ASSERT_EQ(kxhost::RunChildTest("WineAudioServerRecording.DISABLED_ChildExitsWhileRecording"),
              0u);
    ExpectSliceOfFeed(DataOfValidRecording(kxtest::ReadFile(path)), 5 * kBufferSize);
}

} // namespace
