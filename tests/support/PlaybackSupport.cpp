#include "support/PlaybackSupport.h"

#include "frame/Globals.h"

#include <cstdarg>
#include <cstdio>
#include <dirent.h>

namespace kxtest {

PlayLogCapture::PlayLogCapture() : m_env("KALDRIX_LOG_DIR", m_dir.path()) {
    WriteFile(m_dir.File("tracelog.is"), {});
    g_Log.Close();
    g_Log.Open();
}

PlayLogCapture::~PlayLogCapture() { g_Log.Close(); }

// Every day's file, in case the test runs over midnight.
std::string PlayLogCapture::Text() const {
    std::fflush(nullptr); // the log's records may still sit in its stream buffer
    std::string text;
    DIR* dir = opendir(m_dir.path().c_str());
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        const std::string name = entry->d_name;
        if (name.rfind("KALDRIX", 0) == 0) {
            const Bytes bytes = ReadFile(m_dir.File(name));
            text.append(bytes.begin(), bytes.end());
        }
    }
    if (dir)
        closedir(dir);
    return text;
}

int PlayLogCapture::Count(const std::string& message) const {
    const std::string text = Text();
    int count = 0;
    for (size_t at = text.find(message); at != std::string::npos;
         at = text.find(message, at + message.size()))
        ++count;
    return count;
}

std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

Bytes FloatFormat(uint16_t channels, uint32_t samplesPerSec) {
    const uint16_t blockAlign = uint16_t(channels * 4);
    RiffWriter body;
    body.U16(3).U16(channels).U32(samplesPerSec).U32(samplesPerSec * blockAlign).U16(blockAlign);
    body.U16(32).U16(0);
    return body.bytes();
}

Bytes ExtensibleFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample,
                       uint16_t subFormatTag) {
    const uint16_t blockAlign = uint16_t(channels * bitsPerSample / 8);
    RiffWriter body;
    body.U16(0xFFFE).U16(channels).U32(samplesPerSec).U32(samplesPerSec * blockAlign);
    body.U16(blockAlign).U16(bitsPerSample).U16(22);
    body.U16(bitsPerSample).U32(channels == 2 ? 3 : 4); // valid bits, channel mask
    body.U32(subFormatTag).U16(0x0000).U16(0x0010);
    body.Raw({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    return body.bytes();
}

Bytes WaveFile(const Bytes& formatBody, const Bytes& data) {
    RiffWriter chunks;
    chunks.Chunk("fmt ", formatBody).Chunk("data", data);
    return RiffWriter::Riff("WAVE", chunks.bytes());
}

uint32_t ByteRateOf(const Bytes& formatBody) { return ReadLe32(formatBody, 8); }

} // namespace kxtest
