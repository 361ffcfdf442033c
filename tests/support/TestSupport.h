// SPDX-License-Identifier: MIT
// Helpers shared by the suites: private folders, files as bytes, and the
// environment of one test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxtest {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for the life of the object and puts the old
// value back afterwards. On Windows an empty value removes the variable: the
// C runtime keeps no empty ones.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_hadValue;
    std::string m_oldValue;
};

Bytes ReadFile(const std::string& path);
// Where `part` starts inside `whole` byte for byte, allowing short runs of
// silence (zero bytes, up to a second) between its bytes: what Wine's audio
// path inserts when its own thread falls behind on a busy machine. Counts
// those runs in `gaps`; npos when `part` is not there.
size_t FindThroughSilence(const Bytes& whole, const Bytes& part, int& gaps);
// Where `part` begins in `whole` as one continuous piece, but for the sound
// Wine's capture skips on a busy machine: the part going on further into
// `whole`, by less than `shortestLoss` bytes each time (the library loses
// or repeats whole buffers only, so those still fail). Counts the skips in
// `skips`; npos when `part` is not there so.
size_t FindThroughSkips(const Bytes& whole, const Bytes& part, size_t shortestLoss, int& skips);
std::string ReadText(const std::string& path);
// The name of today's log file: "KALDRIX" + year, month and day without
// leading zeros + ".log".
std::string TodaysLogName();
void WriteFile(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);
// How many files (descriptors, or handles on Windows) the process holds
// open, so tests can see that a file was closed.
int OpenFileCount();
uint32_t ReadLe32(const Bytes& bytes, size_t offset);
uint16_t ReadLe16(const Bytes& bytes, size_t offset);

// Builds RIFF files byte by byte: chunks, their sizes and pad bytes.
class RiffWriter {
public:
    RiffWriter& Tag(const char* fourcc);
    RiffWriter& U16(uint16_t value);
    RiffWriter& U32(uint32_t value);
    RiffWriter& Raw(const Bytes& bytes);
    // A whole chunk: id, size of `body`, body, and a pad byte when odd.
    RiffWriter& Chunk(const char* id, const Bytes& body);
    // The whole file: "RIFF", size of what follows, `formType` and the chunks.
    static Bytes Riff(const char* formType, const Bytes& chunks);
    const Bytes& bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
};

// A 16-byte PCM "fmt " body.
Bytes PcmFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample);
// A whole PCM WAVE file whose data chunk holds `data`.
Bytes PcmWave(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample, const Bytes& data);
// Bytes that follow a recognisable pattern, for comparing streams.
Bytes Pattern(size_t size, uint32_t seed = 1);

} // namespace kxtest
