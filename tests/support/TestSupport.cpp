#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ftw.h>

namespace kxtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kaldrix-test-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    nftw(
        m_path.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    const char* old = std::getenv(name);
    m_hadValue = old != nullptr;
    if (old)
        m_oldValue = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_hadValue)
        setenv(m_name.c_str(), m_oldValue.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int OpenFileCount() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (const dirent* entry = ::readdir(folder))
        count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count - 1; // the listing's own descriptor
}

uint32_t ReadLe32(const Bytes& bytes, size_t offset) {
    return uint32_t(bytes.at(offset)) | uint32_t(bytes.at(offset + 1)) << 8 |
           uint32_t(bytes.at(offset + 2)) << 16 | uint32_t(bytes.at(offset + 3)) << 24;
}

uint16_t ReadLe16(const Bytes& bytes, size_t offset) {
    return uint16_t(bytes.at(offset) | bytes.at(offset + 1) << 8);
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

} // namespace kxtest
