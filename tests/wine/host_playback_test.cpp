// SPDX-License-Identifier: MIT
// Playback through KALDRIX.dll and Wine's own winmm: with no device, and
// against the private audio server, where scripts/wine-run.sh --fed captures
// everything that reaches the default sink.
#include "HostSupport.h"
#include "log/LogText.h"
#include "support/HostileWaves.h"

#include <cstdio>

namespace {

using kxhost::Library;
using kxtest::Bytes;

std::string Formatted(const char* format, const char* text, int number) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, text, number);
    return buffer;
}

struct StartCall {
    const Library* library;
    const char* path;
    int result;
};

DWORD WINAPI RunStart(LPVOID parameter) {
    auto* call = static_cast<StartCall*>(parameter);
    call->result = call->library->StartPlayFile(call->path);
    return 0;
}

// The start on a thread of its own. One that does not answer within 10 s
// holds the player's lock for good, and every later call would wait on it:
// the host ends there, failed.
int BoundedStart(const Library& library, const char* path) {
    StartCall call{&library, path, 0};
    const HANDLE thread = CreateThread(nullptr, 0, RunStart, &call, 0, nullptr);
    if (!thread)
        return library.StartPlayFile(path);
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "KxStartPlayFile(%s) did not answer within 10 s\n", path);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    CloseHandle(thread);
    return call.result;
}

// Makes `path` hold `bytes`, extended to `length` bytes when that is more
// (sparse where the file system allows it); false when it cannot.
bool WriteExtended(const std::string& path, const kxtest::Bytes& bytes, uint64_t length) {
    kxtest::WriteFile(path, bytes);
    if (length <= bytes.size())
        return true;
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    const bool extended = file != INVALID_HANDLE_VALUE &&
                          SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return extended;
}

// Each hostile file fails within a second with the record of the step that
// refused it, and the host lives on: winmm's own chunk search would loop for
// ever on the wrapping chains and crawl through the sparse file, and its
// converter or the audio server would abort the process on those formats.
void ExpectHostileWavesRefused() {
    kxtest::TempDir dir;
    const std::string path = dir.File("hostile.wav");
    char deviceRecord[256];
    std::snprintf(deviceRecord, sizeof deviceRecord, LogText::kPlayDeviceOpenError, 1);
    kxhost::EchoCapture capture;
    Library library;
    ASSERT_NE(library.get(), nullptr);
    // Wine sets up its audio driver at the process's first device call,
    // which can take seconds: that is not the start's time.
    waveOutGetNumDevs();
    for (const kxtest::HostileWave& row : kxtest::HostileWaves()) {
        SCOPED_TRACE(row.name);
        if (!WriteExtended(path, row.bytes, row.sparseLength)) {
            std::printf("%s: left out, no sparse file of %llu bytes here\n", row.name,
                        static_cast<unsigned long long>(row.sparseLength));
            continue;
        }
        int started = 0;
        DWORD took = 0;
        const std::string echo = capture.Of([&] {
            const DWORD start = GetTickCount();
            started = BoundedStart(library, path.c_str());
            took = GetTickCount() - start;
        });
        EXPECT_EQ(started, -1);
        EXPECT_LT(took, 1000u);
        EXPECT_EQ(library.PlayStatus(), 0);
        EXPECT_EQ(echo, kxhost::Echo({row.refusedByDevice ? std::string(deviceRecord)
                                                          : Formatted(LogText::kPlayFileOpenError,
                                                                      path.c_str(), 1)}));
    }
    DeleteFileA(path.c_str());
}

TEST(WineNoDevicePlayback, HostileFilesAreRefusedAtOnce) { ExpectHostileWavesRefused(); }

TEST(WineAudioServerPlayback, HostileFilesAreRefusedAtOnce) { ExpectHostileWavesRefused(); }

TEST(WineNoDevicePlayback, AMissingFileAndAMissingDeviceEachFailWithTheirRecord) {
    kxtest::TempDir dir;
    const std::string missing = dir.File("missing.wav");
    const std::string wave = dir.File("tone.wav");
    kxtest::WriteFile(wave, kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(16000)));
    kxhost::EchoCapture capture;
    Library library;
    ASSERT_NE(library.get(), nullptr);

    struct Case {
        const char* name;
        const std::string& path;
        std::string record;
    };
    char deviceRecord[256];
    std::snprintf(deviceRecord, sizeof deviceRecord, LogText::kPlayDeviceOpenError, 1);
    const Case cases[] = {
        {"missing file", missing, Formatted(LogText::kPlayFileOpenError, missing.c_str(), 1)},
        {"no device", wave, deviceRecord},
    };
    for (const Case& c : cases) {
        int started = 0;
        int status = -1;
        const std::string echo = capture.Of([&] {
            started = library.StartPlayFile(c.path.c_str());
            status = library.PlayStatus();
        });
        EXPECT_EQ(started, -1) << c.name;
        EXPECT_EQ(status, 0) << c.name;
        EXPECT_EQ(echo, kxhost::Echo({c.record})) << c.name;
    }
}

// Each file reaches the sink byte for byte and the playback ends by itself:
// 2.5 blocks of 16384 bytes (2.56 s at 16000 bytes a second), the same with a
// rate declared at 1 byte/s, and as a streamed file whose sizes are
// 0xFFFFFFFF.
TEST(WineAudioServerPlayback, FilesReachTheSinkByteExactAndStatusFallsToZeroByItself) {
    const std::string playedPath = kxhost::RigFile("KALDRIX_WINE_PLAYED");
    ASSERT_FALSE(playedPath.empty()) << "run by scripts/wine-run.sh --fed, which captures the sink";
    kxtest::TempDir dir;
    const std::string wave = dir.File("played.wav");
    const Bytes plain = kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(40960, 7));
    Bytes slowRate = kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(40960, 8));
    slowRate[28] = 1;
    slowRate[29] = slowRate[30] = slowRate[31] = 0;
    Bytes streamed = kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(40960, 9));
    for (size_t offset : {4, 40})
        streamed[offset] = streamed[offset + 1] = streamed[offset + 2] = streamed[offset + 3] =
            0xFF;
    const std::pair<const char*, const Bytes*> files[] = {
        {"plain", &plain}, {"rate of 1 byte/s", &slowRate}, {"streamed", &streamed}};

    Library library;
    ASSERT_NE(library.get(), nullptr);
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        kxtest::WriteFile(wave, *file);
        ASSERT_EQ(library.StartPlayFile(wave.c_str()), 1);
        EXPECT_EQ(library.PlayStatus(), 1);
        // The data, the 2 s pause after it, and room for a busy machine.
        const DWORD start = GetTickCount();
        while (library.PlayStatus() != 0 && GetTickCount() - start < 20000)
            Sleep(100);
        EXPECT_EQ(library.PlayStatus(), 0) << "the playback ended by itself";

        // Wine's own playback path may lose the last 100 ms of a stream, and
        // insert silence where its audio thread falls behind on a busy machine.
        const Bytes expected(file->begin() + 44, file->end() - 1600);
        size_t at = std::string::npos;
        int gaps = 0;
        Bytes played;
        for (int attempt = 0; attempt < 50 && at == std::string::npos; ++attempt) {
            played = kxtest::ReadFile(playedPath);
            at = kxtest::FindThroughSilence(played, expected, gaps);
            if (at == std::string::npos)
                Sleep(100);
        }
        EXPECT_NE(at, std::string::npos) << "the sink did not receive the data byte for byte ("
                                         << played.size() << " bytes captured)";
        if (gaps != 0)
            std::printf("%s: Wine inserted silence %d times\n", name, gaps);
    }
}

} // namespace
