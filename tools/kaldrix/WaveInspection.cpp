// SPDX-License-Identifier: MIT
#include "WaveInspection.h"
#include "Failure.h"
#include "FileAccess.h"
#include "RecordingRepair.h"
#include "wave/LittleEndian.h"
#include "wave/RiffChunks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

// A WAVEFORMATEXTENSIBLE: 18 bytes and 22 extra.
constexpr size_t kFormatBytesKept = 40;

// A chunk id as text, with anything unprintable as '?'.
std::string Tag(const unsigned char* bytes) {
    std::string tag;
    for (int i = 0; i < 4; ++i)
        tag += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? char(bytes[i]) : '?';
    return tag;
}

class Reader {
public:
    explicit Reader(const std::string& path)
        : m_path(path), m_file(path, InputFile::Access::read) {}

    uint64_t size() const { return m_file.size(); }

    // Reads `count` bytes at `offset`; false if the file ends before.
    bool Read(uint64_t offset, unsigned char* bytes, size_t count) {
        return m_file.Read(offset, bytes, count);
    }

    [[noreturn]] void Malformed(const std::string& what) const {
        throw Failure(kMalformed, m_path + " is not a playable WAVE file: " + what);
    }

private:
    std::string m_path;
    InputFile m_file;
};

void CheckFormat(Reader& reader, const WaveFormat& format) {
    if (format.channels == 0)
        reader.Malformed("its format has 0 channels");
    if (format.samplesPerSec == 0)
        reader.Malformed("its format has a sample rate of 0");
    if (format.avgBytesPerSec == 0)
        reader.Malformed("its format has 0 bytes per second");
    if (format.blockAlign == 0)
        reader.Malformed("its format has a block size of 0");
}

void AddFormatWarnings(WaveFile& wave) {
    const WaveFormat& f = wave.format;
    if (f.formatTag != 1)
        return;
    const uint32_t block = uint32_t(f.channels) * ((f.bitsPerSample + 7u) / 8u);
    if (f.bitsPerSample == 0 || f.blockAlign != block ||
        f.avgBytesPerSec != f.samplesPerSec * uint32_t(f.blockAlign))
        wave.warnings.push_back("the PCM format's block size or byte rate does not match its "
                                "channels, rate and sample size");
}

// The offset of the first top-level RIFF chunk of form "WAVE": the player
// looks for one among the file's top-level chunks, not only at its start.
// Each search gives up after as many chunks as the player's, so that a
// sparse file of empty chunks is not walked through gigabytes.
uint64_t FindWaveRiff(Reader& reader) {
    unsigned char head[12];
    uint64_t offset = 0;
    for (int step = 0; step < kMaxChunksPerSearch && reader.Read(offset, head, sizeof head);
         ++step, offset += 8 + uint64_t(ReadLe32(head + 4)) + (ReadLe32(head + 4) & 1u)) {
        if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0)
            return offset;
    }
    if (!reader.Read(0, head, sizeof head))
        reader.Malformed("it holds only " + std::to_string(reader.size()) + " bytes");
    if (std::memcmp(head, "RIFF", 4) != 0)
        reader.Malformed("it does not start with \"RIFF\" but with \"" + Tag(head) + "\"");
    reader.Malformed("it is a RIFF file of form \"" + Tag(head + 8) + "\", not \"WAVE\"");
}

} // namespace

double WaveFile::Seconds() const {
    return format.avgBytesPerSec ? double(dataPresent) / format.avgBytesPerSec : 0.0;
}

WaveFile InspectWave(const std::string& path) {
    Reader reader(path);
    unsigned char start[kRecordingHeaderSize];
    if (reader.Read(0, start, sizeof start) && IsUnfinishedRecording(start, reader.size()))
        throw Failure(kMalformed,
                      path + " is an unfinished recording: its header declares " +
                          std::to_string(ReadLe32(start + RecordingHeader::kDataSizeAt)) +
                          " bytes of sound of the " +
                          std::to_string(reader.size() - kRecordingHeaderSize) +
                          " it holds, as its host ended before the recording; "
                          "'kaldrix repair " +
                          path + "' completes it");
    const uint64_t riff = FindWaveRiff(reader);
    unsigned char head[12];
    reader.Read(riff, head, sizeof head);

    // The chunks are looked for inside the RIFF chunk only, as the player
    // does: first "fmt ", then "data" after it.
    const uint64_t riffEnd = riff + 8 + uint64_t(ReadLe32(head + 4));
    WaveFile wave;
    bool haveFormat = false;
    bool haveData = false;
    bool dataBeforeFormat = false;
    bool beyondRiff = false;
    uint64_t offset = riff + 12;
    unsigned char chunk[8];
    for (int step = 0;
         step < kMaxChunksPerSearch && !haveData && reader.Read(offset, chunk, sizeof chunk);
         ++step) {
        if (offset + 8 > riffEnd) {
            beyondRiff = true;
            break;
        }
        const uint32_t size = ReadLe32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFormat) {
            if (size < 16)
                reader.Malformed("its \"fmt \" chunk holds " + std::to_string(size) +
                                 " bytes, fewer than the 16 of a format");
            unsigned char body[kFormatBytesKept];
            if (!reader.Read(offset + 8, body, 16))
                reader.Malformed("it ends inside its \"fmt \" chunk");
            wave.format = {ReadLe16(body),     ReadLe16(body + 2),  ReadLe32(body + 4),
                           ReadLe32(body + 8), ReadLe16(body + 12), ReadLe16(body + 14)};
            const size_t kept = std::min<size_t>(size, sizeof body);
            if (reader.Read(offset + 8, body, kept))
                wave.formatBytes.assign(body, body + kept);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (haveFormat) {
                haveData = true;
                wave.dataSize = size;
                wave.dataOffset = offset + 8;
            } else {
                dataBeforeFormat = true;
            }
        }
        offset += 8 + uint64_t(size) + (size & 1u);
    }

    const std::string riffTooSmall = "its RIFF header declares " +
                                     std::to_string(ReadLe32(head + 4)) +
                                     " bytes, too few for its chunks (an unfinished recording?)";
    if (!haveFormat)
        reader.Malformed(beyondRiff ? riffTooSmall : "it has no \"fmt \" chunk");
    if (!haveData) {
        if (dataBeforeFormat)
            reader.Malformed("its \"data\" chunk comes before its \"fmt \" chunk");
        reader.Malformed(beyondRiff ? riffTooSmall : "it has no \"data\" chunk");
    }
    CheckFormat(reader, wave.format);
    const uint64_t available =
        reader.size() > wave.dataOffset ? reader.size() - wave.dataOffset : 0;
    wave.dataPresent = available < wave.dataSize ? available : wave.dataSize;
    if (wave.dataPresent < wave.dataSize)
        wave.warnings.push_back("the \"data\" chunk declares " + std::to_string(wave.dataSize) +
                                " bytes but the file holds only " +
                                std::to_string(wave.dataPresent) + " of them (cut short)");
    AddFormatWarnings(wave);
    return wave;
}

std::string DescribeFormat(const WaveFormat& format) {
    std::string text;
    switch (format.formatTag) {
    case 0x0001:
        text = "PCM";
        break;
    case 0x0002:
        text = "Microsoft ADPCM";
        break;
    case 0x0003:
        text = "IEEE float";
        break;
    case 0x0006:
        text = "A-law";
        break;
    case 0x0007:
        text = "mu-law";
        break;
    case 0x0011:
        text = "IMA ADPCM";
        break;
    case 0x0055:
        text = "MPEG layer 3";
        break;
    case 0xFFFE:
        text = "extensible";
        break;
    default: {
        char tag[32];
        std::snprintf(tag, sizeof tag, "format tag 0x%04X", format.formatTag);
        text = tag;
    }
    }
    if (format.channels == 1)
        text += ", mono";
    else if (format.channels == 2)
        text += ", stereo";
    else
        text += ", " + std::to_string(format.channels) + " channels";
    text += ", " + std::to_string(format.samplesPerSec) + " Hz";
    if (format.bitsPerSample)
        text += ", " + std::to_string(format.bitsPerSample) + "-bit";
    return text;
}

} // namespace cli
