// SPDX-License-Identifier: MIT
#include "WaveInspection.h"
#include "Failure.h"
#include "FileAccess.h"
#include "RecordingRepair.h"
#include "wave/LittleEndian.h"
#include "wave/RecordingHeader.h"
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

// A chunk id as the file holds it.
uint32_t Id(const char (&text)[5]) {
    return ReadLe32(reinterpret_cast<const unsigned char*>(text));
}

// Reads the chunk header at `position` for the library's walk, with the
// form type of a RIFF or LIST chunk.
bool ReadHeader(Reader& reader, int64_t position, RiffChunkHeader* header) {
    unsigned char bytes[12];
    if (!reader.Read(uint64_t(position), bytes, 8))
        return false;
    *header = {ReadLe32(bytes), ReadLe32(bytes + 4), 0};
    if (!HasFormType(header->id))
        return true;
    if (!reader.Read(uint64_t(position) + 8, bytes + 8, 4))
        return false;
    header->formType = ReadLe32(bytes + 8);
    return true;
}

// The offset of the first top-level RIFF chunk of form "WAVE", found by the
// player's walk: among the file's top-level chunks, not only at its start,
// and giving up after as many chunks, so that a sparse file of empty chunks
// is not walked through gigabytes.
uint64_t FindWaveRiff(Reader& reader) {
    const ChunkSearch riff = FindChunk(
        {0, int64_t(reader.size())},
        [&reader](int64_t position, RiffChunkHeader* header) {
            return ReadHeader(reader, position, header);
        },
        [](const RiffChunkHeader& header, int64_t) {
            return header.id == kRiffId && header.formType == Id("WAVE");
        });
    if (riff.outcome == ChunkSearch::found)
        return uint64_t(riff.position);
    unsigned char head[12];
    if (!reader.Read(0, head, sizeof head))
        reader.Malformed("it holds only " + std::to_string(reader.size()) + " bytes");
    if (std::memcmp(head, "RIFF", 4) != 0)
        reader.Malformed("it does not start with \"RIFF\" but with \"" + Tag(head) + "\"");
    reader.Malformed("it is a RIFF file of form \"" + Tag(head + 8) + "\", not \"WAVE\"");
}

// The recorder's header of an unfinished recording, which may declare a
// RIFF size of 0 that no walk passes: described from the header itself.
bool InspectUnfinished(Reader& reader, const std::string& path, WaveFile* wave) {
    unsigned char start[RecordingHeader::Header::kLargestSize];
    const size_t count = std::min<uint64_t>(reader.size(), sizeof start);
    UnfinishedRecording found;
    if (!reader.Read(0, start, count) ||
        !FindUnfinishedRecording(start, count, reader.size(), &found))
        return false;
    wave->format = found.format;
    wave->formatBytes.assign(start + 20, start + found.headerSize - 8);
    wave->fileSize = reader.size();
    wave->dataSize = wave->dataPresent = found.declared;
    wave->dataOffset = found.headerSize;
    wave->unfinished =
        "an unfinished recording: its header declares " + std::to_string(found.declared) +
        " bytes of sound of the " + std::to_string(found.held) +
        " it holds, as its host ended while recording; 'kaldrix repair " + path + "' completes it";
    wave->warnings.push_back(wave->unfinished);
    return true;
}

} // namespace

double WaveFile::Seconds() const {
    return format.avgBytesPerSec ? double(dataPresent) / format.avgBytesPerSec : 0.0;
}

WaveFile InspectWave(const std::string& path) {
    Reader reader(path);
    WaveFile wave;
    if (InspectUnfinished(reader, path, &wave))
        return wave;
    const uint64_t riff = FindWaveRiff(reader);
    unsigned char head[12];
    reader.Read(riff, head, sizeof head);

    // The chunks are looked for inside the RIFF chunk only, as the player
    // does: first "fmt ", then "data" after it. The walk sees each chunk in
    // turn, so that what it passes can be told.
    const int64_t riffEnd = int64_t(riff) + 8 + ReadLe32(head + 4);
    wave.fileSize = reader.size();
    wave.riffOffset = riff;
    bool haveFormat = false;
    bool dataBeforeFormat = false;
    const auto formatThenData = [&](const RiffChunkHeader& chunk, int64_t position) {
        const uint64_t dataAt = uint64_t(position) + 8;
        if (chunk.id == Id("fmt ") && !haveFormat) {
            if (chunk.size < 16)
                reader.Malformed("its \"fmt \" chunk holds " + std::to_string(chunk.size) +
                                 " bytes, fewer than the 16 of a format");
            unsigned char body[kFormatBytesKept];
            if (!reader.Read(dataAt, body, 16))
                reader.Malformed("it ends inside its \"fmt \" chunk");
            wave.format = {ReadLe16(body),     ReadLe16(body + 2),  ReadLe32(body + 4),
                           ReadLe32(body + 8), ReadLe16(body + 12), ReadLe16(body + 14)};
            const size_t kept = std::min<size_t>(chunk.size, sizeof body);
            if (reader.Read(dataAt, body, kept))
                wave.formatBytes.assign(body, body + kept);
            haveFormat = true;
        } else if (chunk.id == Id("data")) {
            if (haveFormat) {
                wave.dataSize = chunk.size;
                wave.dataOffset = dataAt;
                return true;
            }
            dataBeforeFormat = true;
        }
        return false;
    };
    const ChunkSearch data = FindChunk(
        {int64_t(riff) + 12, riffEnd},
        [&reader](int64_t position, RiffChunkHeader* header) {
            return ReadHeader(reader, position, header);
        },
        formatThenData);
    const bool haveData = data.outcome == ChunkSearch::found;
    // The walk left the RIFF chunk while the file holds more chunks.
    unsigned char next[8];
    const bool beyondRiff =
        data.outcome == ChunkSearch::pastRange && reader.Read(uint64_t(data.position), next, 8);

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
                                std::to_string(wave.dataPresent) +
                                " of them (cut short); 'kaldrix repair " + path +
                                "' declares the whole frames it holds");
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
