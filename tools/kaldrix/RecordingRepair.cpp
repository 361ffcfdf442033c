#include "RecordingRepair.h"
#include "Failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace cli {

namespace {

// The header the recorder writes when a recording starts.
// clang-format off
const unsigned char kStartHeader[kRecordingHeaderSize] = {
    'R', 'I', 'F', 'F', 0, 0, 0, 0,         // RIFF, size 0
    'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', // WAVE, "fmt "
    16, 0, 0, 0, 1, 0, 1, 0,                // 16 bytes: PCM, 1 channel
    0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0,     // 8000 samples/s, 16000 bytes/s
    2, 0, 16, 0,                            // 2-byte blocks of 16 bits
    'd', 'a', 't', 'a', 0, 0, 0, 0};        // "data", size 0
// clang-format on

constexpr size_t kRiffSizeAt = 4;
constexpr size_t kDataSizeAt = 40;
// Sizes in the header are 32-bit, and the RIFF size counts 36 header bytes.
constexpr uint64_t kLargestData = 0xFFFFFFFFull - 36;

bool SameBytes(const unsigned char* header, size_t from, size_t to) {
    return std::memcmp(header + from, kStartHeader + from, to - from) == 0;
}

uint32_t Le32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

void PutLe32(unsigned char* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw Failure(kMalformed, path + " " + why + "; nothing changed");
}

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

bool IsUnfinishedRecording(const unsigned char* header) {
    return std::memcmp(header, kStartHeader, kRecordingHeaderSize) == 0;
}

RepairedRecording RepairRecording(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw Failure(kInputUnreadable, "cannot read " + path + ": it is a folder");
    std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw Failure(kInputUnreadable, "cannot read " + path + ": " + std::strerror(errno));
    RepairedRecording found;
    found.fileSize = std::filesystem::file_size(path, error);
    unsigned char header[kRecordingHeaderSize];
    if (error || std::fread(header, 1, sizeof header, file.get()) != sizeof header)
        Refuse(path, "holds fewer than the 44 bytes of a recording's header");
    if (!SameBytes(header, 0, 4) || std::memcmp(header + 8, "WAVE", 4) != 0)
        Refuse(path, "is not a WAVE file");
    if (!SameBytes(header, 8, kDataSizeAt))
        Refuse(path, "is not a recording of the library (its header is not the 44-byte header "
                     "of 8000 Hz 16-bit mono PCM that the recorder writes)");
    if (!IsUnfinishedRecording(header))
        Refuse(path, "is already finished: its header declares " +
                         std::to_string(Le32(header + kDataSizeAt)) + " bytes of sound");

    // Whole 16-bit samples only; an odd last byte stays in the file, outside
    // the declared data, so that no byte of sound changes.
    const uint64_t data = (found.fileSize - kRecordingHeaderSize) & ~uint64_t(1);
    if (data > kLargestData)
        Refuse(path, "holds " + std::to_string(data) +
                         " bytes of sound, more than a WAVE header can declare");
    found.dataSize = static_cast<uint32_t>(data);

    file.reset(std::fopen(path.c_str(), "r+b"));
    if (!file)
        throw Failure(kCannotCreate, "cannot write " + path + ": " + std::strerror(errno));
    unsigned char riffSize[4];
    unsigned char dataSize[4];
    PutLe32(riffSize, static_cast<uint32_t>(36 + data));
    PutLe32(dataSize, found.dataSize);
    const bool written = std::fseek(file.get(), kRiffSizeAt, SEEK_SET) == 0 &&
                         std::fwrite(riffSize, 1, 4, file.get()) == 4 &&
                         std::fseek(file.get(), kDataSizeAt, SEEK_SET) == 0 &&
                         std::fwrite(dataSize, 1, 4, file.get()) == 4 &&
                         std::fflush(file.get()) == 0;
    const int cause = errno;
    if (std::fclose(file.release()) != 0 || !written)
        throw Failure(kCannotCreate,
                      "cannot write the sizes into " + path + ": " + std::strerror(cause));
    return found;
}

} // namespace cli
