// SPDX-License-Identifier: MIT
#include "support/TestSupport.h"
#include "wave/LittleEndian.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/platform.h"
#include <dirent.h>
#endif

namespace fs = std::filesystem;

namespace kxtest {

namespace {

// The environment through the C runtime, so that getenv in the code under
// test sees the change on both platforms.
void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv((name + "=" + value).c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnv(const std::string& name) {
#ifdef _WIN32
    _putenv((name + "=").c_str());
#else
    unsetenv(name.c_str());
#endif
}

} // namespace

// The system's temporary folder: TMPDIR on POSIX, the user's Temp folder on
// Windows. A name is tried until one is new, so suites running side by side
// never share a folder.
TempDir::TempDir() {
    const fs::path base = fs::temp_directory_path();
    auto seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        const fs::path candidate = base / ("kaldrix-test-" + std::to_string(seed >> 40));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            m_path = candidate.string();
            return;
        }
    }
    throw std::runtime_error("no fresh temporary folder");
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(m_path, error);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    const char* old = std::getenv(name);
    m_hadValue = old != nullptr;
    if (old)
        m_oldValue = old;
    SetEnv(m_name, value);
}

ScopedEnv::~ScopedEnv() {
    if (m_hadValue)
        SetEnv(m_name, m_oldValue);
    else
        UnsetEnv(m_name);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string TodaysLogName() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return "KALDRIX" + std::to_string(now.wYear) + std::to_string(now.wMonth) +
           std::to_string(now.wDay) + ".log";
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

int OpenFileCount() {
#ifdef _WIN32
    // GetProcessHandleCount answers 0 under Wine, so the handle values are
    // probed instead: multiples of 4 from 4 upwards, the lowest free one
    // taken first, so a long run of unused values means no more follow.
    int count = 0;
    int unused = 0;
    for (uintptr_t value = 4; unused < 256; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return count;
#else
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (const dirent* entry = ::readdir(folder))
        count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count - 1; // the listing's own descriptor
#endif
}

// at() refuses a field that reaches past the end.
uint32_t ReadLe32(const Bytes& bytes, size_t offset) {
    return ::ReadLe32(&bytes.at(offset + 3) - 3);
}

uint16_t ReadLe16(const Bytes& bytes, size_t offset) {
    return ::ReadLe16(&bytes.at(offset + 1) - 1);
}

RiffWriter& RiffWriter::Tag(const char* fourcc) {
    m_bytes.insert(m_bytes.end(), fourcc, fourcc + 4);
    return *this;
}

RiffWriter& RiffWriter::U16(uint16_t value) {
    m_bytes.push_back(uint8_t(value));
    m_bytes.push_back(uint8_t(value >> 8));
    return *this;
}

RiffWriter& RiffWriter::U32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        m_bytes.push_back(uint8_t(value >> shift));
    return *this;
}

RiffWriter& RiffWriter::Raw(const Bytes& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

RiffWriter& RiffWriter::Chunk(const char* id, const Bytes& body) {
    Tag(id).U32(uint32_t(body.size())).Raw(body);
    if (body.size() % 2)
        m_bytes.push_back(0);
    return *this;
}

Bytes RiffWriter::Riff(const char* formType, const Bytes& chunks) {
    RiffWriter riff;
    riff.Tag("RIFF").U32(uint32_t(4 + chunks.size())).Tag(formType).Raw(chunks);
    return riff.bytes();
}

Bytes PcmFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample) {
    const uint16_t blockAlign = uint16_t(channels * bitsPerSample / 8);
    RiffWriter body;
    body.U16(1)
        .U16(channels)
        .U32(samplesPerSec)
        .U32(samplesPerSec * blockAlign)
        .U16(blockAlign)
        .U16(bitsPerSample);
    return body.bytes();
}

Bytes PcmWave(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample,
              const Bytes& data) {
    RiffWriter chunks;
    chunks.Chunk("fmt ", PcmFormat(channels, samplesPerSec, bitsPerSample)).Chunk("data", data);
    return RiffWriter::Riff("WAVE", chunks.bytes());
}

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = uint8_t(state >> 16);
    }
    return bytes;
}

namespace {
// Where `part` starts inside `whole` at or after `from`, or npos.
size_t Search(const Bytes& whole, const Bytes& part, size_t from) {
    if (from > whole.size())
        return std::string::npos;
    const auto at =
        std::search(whole.begin() + static_cast<long>(from), whole.end(), part.begin(), part.end());
    return at == whole.end() ? std::string::npos : static_cast<size_t>(at - whole.begin());
}
} // namespace

size_t FindThroughSilence(const Bytes& whole, const Bytes& part, int& gaps) {
    // Long enough that a pseudo-random part matches only where it is.
    const size_t kAnchor = 32;
    // Wine's runs last 5 ms to most of a second; a whole block of the
    // player's (16384 bytes) would be more.
    const size_t kLongestSilence = 16000;
    const Bytes head(part.begin(), part.begin() + std::min(kAnchor, part.size()));
    for (size_t start = Search(whole, head, 0); start != std::string::npos;
         start = Search(whole, head, start + 1)) {
        gaps = 0;
        size_t at = start;
        size_t next = 0;
        while (next < part.size() && at < whole.size()) {
            if (whole[at] == part[next]) {
                ++at;
                ++next;
                continue;
            }
            // Only silence may come between; the part goes on after it.
            const size_t silence = at;
            while (at < whole.size() && whole[at] == 0)
                ++at;
            const Bytes rest(part.begin() + static_cast<long>(next),
                             part.begin() +
                                 static_cast<long>(std::min(next + kAnchor, part.size())));
            if (at == silence || at - silence > kLongestSilence || Search(whole, rest, at) != at)
                break;
            ++gaps;
        }
        if (next == part.size())
            return start;
    }
    return std::string::npos;
}

size_t FindThroughSkips(const Bytes& whole, const Bytes& part, size_t shortestLoss, int& skips) {
    const size_t kAnchor = 32;
    skips = 0;
    if (part.size() < kAnchor)
        return Search(whole, part, 0);
    const size_t start = Search(whole, Bytes(part.begin(), part.begin() + kAnchor), 0);
    size_t from = start;
    for (size_t at = 0; from != std::string::npos;) {
        if (from + part.size() - at > whole.size())
            return std::string::npos;
        const auto left = std::mismatch(part.begin() + static_cast<long>(at), part.end(),
                                        whole.begin() + static_cast<long>(from))
                              .first;
        from += static_cast<size_t>(left - part.begin()) - at;
        at = static_cast<size_t>(left - part.begin());
        if (at == part.size())
            return start;
        const Bytes next(left, left + static_cast<long>(std::min(kAnchor, part.size() - at)));
        const size_t goesOn = Search(whole, next, from + 1);
        if (goesOn == std::string::npos || goesOn - from >= shortestLoss)
            return std::string::npos;
        from = goesOn;
        ++skips;
    }
    return std::string::npos;
}

} // namespace kxtest

// The leak check of the address sanitizer reads this wherever it runs, so a
// plain run of any suite agrees with its preset's. What the keeper keeps for
// good (what a thread that was given up on may still reach) is left allocated
// on purpose, as the thread may still use it after the keeper has gone.
extern "C" const char* __lsan_default_suppressions() { return "leak:CKeeper::KeepForGood\n"; }
