// SPDX-License-Identifier: MIT
#include "RecordingRepair.h"
#include "Failure.h"
#include "FileAccess.h"
#include "wave/LittleEndian.h"
#include "wave/RecordingHeader.h"

#include <cstring>

namespace cli {

namespace {

// The size fields of a recorder's header: the RIFF size, and the data size
// in its last four bytes.
constexpr size_t kRiffSizeAt = 4;

bool SameOutsideSizes(const unsigned char* bytes, const unsigned char* header, size_t size) {
    const size_t dataSizeAt = size - 4;
    return std::memcmp(bytes, header, kRiffSizeAt) == 0 &&
           std::memcmp(bytes + kRiffSizeAt + 4, header + kRiffSizeAt + 4,
                       dataSizeAt - kRiffSizeAt - 4) == 0;
}

} // namespace

bool FindUnfinishedRecording(const unsigned char* bytes, size_t count, uint64_t fileSize,
                             UnfinishedRecording* found) {
    // The format fields sit where both of the recorder's headers have them;
    // the header that format makes must then be the file's, sizes apart.
    if (count < RecordingHeader::kSize)
        return false;
    const uint16_t channels = ReadLe16(bytes + 22);
    const uint32_t rate = ReadLe32(bytes + 24);
    const uint16_t bits = ReadLe16(bytes + 34);
    if (!RecordingHeader::IsRecordable(int(rate > 192000 ? 0 : rate), channels, bits))
        return false;
    const RecordingHeader::Header header({rate, channels, bits});
    if (count < header.Size() || !SameOutsideSizes(bytes, header.Start(), header.Size()))
        return false;
    const uint32_t riff = ReadLe32(bytes + kRiffSizeAt);
    const uint32_t data = ReadLe32(bytes + header.Size() - 4);
    const uint16_t block = ReadLe16(bytes + 32);
    const uint64_t after = fileSize - header.Size();
    const uint64_t held = after - after % block;
    if (!(riff == 0 && data == 0) &&
        !(uint64_t(riff) == uint64_t(header.RiffSizeBase()) + data && data < held))
        return false;
    found->format = {ReadLe16(bytes + 20), channels, rate, ReadLe32(bytes + 28), block, bits};
    found->headerSize = header.Size();
    found->declared = data;
    found->held = held;
    return true;
}

void DeclareData(const std::string& path, const WaveFile& wave, uint32_t dataBytes, bool cutAfter) {
    unsigned char riff[4], data[4];
    PutLe32(riff, static_cast<uint32_t>(wave.dataOffset - wave.riffOffset - 8 + dataBytes));
    PutLe32(data, dataBytes);
    InputFile file(path, InputFile::Access::readWrite);
    std::string why, closeWhy;
    const bool written = file.Write(wave.riffOffset + 4, riff, sizeof riff, &why) &&
                         file.Write(wave.dataOffset - 4, data, sizeof data, &why) &&
                         (!cutAfter || file.Truncate(wave.dataOffset + dataBytes, &why));
    const bool closed = file.Close(&closeWhy);
    if (!written || !closed)
        throw Failure(kCannotCreate,
                      "cannot write the sizes into " + path + ": " + (written ? closeWhy : why));
}

RepairedRecording RepairRecording(const std::string& path) {
    WaveFile wave;
    try {
        wave = InspectWave(path);
    } catch (const Failure& failure) {
        if (failure.status() != kMalformed)
            throw;
        throw Failure(kMalformed, failure.what() + std::string("; nothing changed"));
    }
    RepairedRecording found;
    found.fileSize = wave.fileSize;
    found.dataOffset = wave.dataOffset;
    found.declaredSize = wave.dataSize;
    found.cutShort = wave.dataPresent < wave.dataSize;
    if (wave.unfinished.empty() && !found.cutShort)
        throw Failure(kMalformed, path + " is already finished: its header declares " +
                                      std::to_string(wave.dataSize) +
                                      " bytes of sound; nothing changed");
    // Whole frames only: a part of one stays in the file, after the declared
    // data, so that no byte of sound changes.
    const uint64_t after = wave.fileSize - wave.dataOffset;
    const uint64_t whole = after - after % wave.format.blockAlign;
    if (whole + (wave.dataOffset - wave.riffOffset - 8) > 0xFFFFFFFFu)
        throw Failure(kMalformed, path + " holds " + std::to_string(whole) +
                                      " bytes of sound, more than a WAVE header can declare; "
                                      "nothing changed");
    found.dataSize = static_cast<uint32_t>(whole);
    found.seconds = double(whole) / wave.format.avgBytesPerSec;
    DeclareData(path, wave, found.dataSize, false);
    return found;
}

} // namespace cli
