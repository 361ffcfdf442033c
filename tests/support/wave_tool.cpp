// SPDX-License-Identifier: MIT
// Writes the test files of the audio-server checks (scripts/*.sh) and checks
// what the library wrote, with the suites' own WAVE helpers.
//
//   wave_tool wave FILE SECONDS SEED           8000 Hz 16-bit mono WAVE of a pattern
//   wave_tool raw FILE SECONDS SEED            the same pattern, raw
//   wave_tool not-wave FILE                    RIFF, but of form "AVI "
//   wave_tool hostile FILE NAME                the row NAME of support/HostileWaves.h
//   wave_tool recording FILE RAW MIN MAX [skips] a complete recording (both sizes
//                                              patched, whole 960-byte pieces) of
//                                              MIN to MAX bytes, a slice of RAW;
//                                              MIN = MAX: exactly that many bytes,
//                                              as kaldrix cuts a --seconds take
//                                              (with skips: but for what Wine's
//                                              capture skips, less than 960
//                                              bytes each time)
//   wave_tool played FILE PLAYED LOST [gaps]   FILE's sound, but its last LOST
//                                              bytes, appears in PLAYED (with
//                                              gaps: maybe with short runs of
//                                              silence between its bytes)
// Exits 0 when the file is written or the check holds, else 1 with the reason.
#include "support/HostileWaves.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

constexpr uint32_t kBytesPerSecond = 16000;
constexpr size_t kHeaderBytes = 44;

bool Contains(const kxtest::Bytes& haystack, const kxtest::Bytes& needle) {
    return !needle.empty() &&
           std::search(haystack.begin(), haystack.end(),
                       std::boyer_moore_searcher(needle.begin(), needle.end())) != haystack.end();
}

int Fail(const std::string& reason) {
    std::fprintf(stderr, "wave_tool: %s\n", reason.c_str());
    return 1;
}

int CheckRecording(const std::string& path, const std::string& rawPath, size_t low, size_t high,
                   bool skips) {
    const kxtest::Bytes file = kxtest::ReadFile(path);
    if (file.size() < kHeaderBytes)
        return Fail(path + ": no WAVE header");
    const size_t size = kxtest::ReadLe32(file, 40);
    if (kxtest::ReadLe32(file, 4) != 36 + size)
        return Fail(path + ": RIFF size does not match the data size");
    if (file.size() != kHeaderBytes + size || (low != high && size % 960 != 0))
        return Fail(path + ": data size " + std::to_string(size));
    if (size < low || size > high)
        return Fail(path + ": " + std::to_string(size) + " bytes of sound");
    const kxtest::Bytes raw = kxtest::ReadFile(rawPath);
    const kxtest::Bytes sound(file.begin() + kHeaderBytes, file.end());
    int skipped = 0;
    if (skips ? kxtest::FindThroughSkips(raw, sound, 960, skipped) == std::string::npos
              : !Contains(raw, sound))
        return Fail(path + ": not a slice of " + rawPath);
    return 0;
}

int CheckPlayed(const std::string& path, const std::string& playedPath, size_t lost, bool gaps) {
    const kxtest::Bytes file = kxtest::ReadFile(path);
    if (file.size() < kHeaderBytes + lost)
        return Fail(path + ": too short");
    const kxtest::Bytes played = kxtest::ReadFile(playedPath);
    const kxtest::Bytes sound(file.begin() + kHeaderBytes, file.end() - lost);
    int silences = 0;
    if (gaps ? kxtest::FindThroughSilence(played, sound, silences) == std::string::npos
             : !Contains(played, sound))
        return Fail(playedPath + " does not hold the sound of " + path);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 2 ? argv[1] : "";
    const auto number = [&](int index) { return std::strtoul(argv[index], nullptr, 10); };
    if (command == "wave" && argc == 5)
        kxtest::WriteFile(argv[2], kxtest::PcmWave(1, 8000, 16,
                                                   kxtest::Pattern(kBytesPerSecond * number(3),
                                                                   uint32_t(number(4)))));
    else if (command == "raw" && argc == 5)
        kxtest::WriteFile(argv[2],
                          kxtest::Pattern(kBytesPerSecond * number(3), uint32_t(number(4))));
    else if (command == "not-wave" && argc == 3)
        kxtest::WriteFile(argv[2], kxtest::RiffWriter::Riff("AVI ", {}));
    else if (command == "hostile" && argc == 4) {
        const auto rows = kxtest::HostileWaves();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const kxtest::HostileWave& r) {
            return r.name == std::string(argv[3]);
        });
        if (row == rows.end() || row->sparseLength != 0)
            return Fail(std::string("no such small hostile file: ") + argv[3]);
        kxtest::WriteFile(argv[2], row->bytes);
    } else if (command == "recording" &&
               (argc == 6 || (argc == 7 && std::string(argv[6]) == "skips")))
        return CheckRecording(argv[2], argv[3], number(4), number(5), argc == 7);
    else if (command == "played" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "gaps")))
        return CheckPlayed(argv[2], argv[3], number(4), argc == 6);
    else
        return Fail("usage: wave|raw|not-wave|hostile|recording|played, see the source");
    return 0;
}
