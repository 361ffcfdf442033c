// SPDX-License-Identifier: MIT
// Playback through KALDRIX.dll and Wine's own winmm: with no device, and
// against the private audio server, where scripts/wine-run.sh --fed captures
// everything that reaches the default sink.
#include "HostSupport.h"
#include "log/LogText.h"

#include <cstdio>

namespace {

using kxhost::Library;
using kxtest::Bytes;

std::string Formatted(const char* format, const char* text, int number) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, text, number);
    return buffer;
}

TEST(WineNoDevicePlayback, AMissingFileAndAMissingDeviceEachFailWithTheirRecord) {
    kxtest::TempDir dir;
    const std::string missing = dir.File("missing.wav");
    const std::string wave = dir.File("tone.wav");
    kxtest::WriteFile(wave, kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(16000)));
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
        const std::string echo = kxhost::EchoOf([&] {
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
