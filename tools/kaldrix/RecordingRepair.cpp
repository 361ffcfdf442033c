// SPDX-License-Identifier: MIT
#include "RecordingRepair.h"
#include "Failure.h"
#include "FileAccess.h"
#include "wave/LittleEndian.h"

#include <cstring>

namespace cli {

namespace {

using RecordingHeader::kDataSizeAt;
using RecordingHeader::kStart;

bool SameBytes(const unsigned char* header, size_t from, size_t to) {
    return std::memcmp(header + from, kStart + from, to - from) == 0;
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw Failure(kMalformed, path + " " + why + "; nothing changed");
}

} // namespace

bool IsUnfinishedRecording(const unsigned char* header, uint64_t fileSize) {
    if (!SameBytes(header, 0, 4) || !SameBytes(header, 8, kDataSizeAt))
        return false;
    const uint32_t riff = ReadLe32(header + 4);
    const uint32_t data = ReadLe32(header + kDataSizeAt);
    if (riff == 0 && data == 0)
        return true;
    const uint64_t wholeSamples =
        fileSize > kRecordingHeaderSize ? (fileSize - kRecordingHeaderSize) & ~uint64_t(1) : 0;
    return uint64_t(riff) == RecordingHeader::kRiffSizeBase + uint64_t(data) && data < wholeSamples;
}

RepairedRecording RepairRecording(const std::string& path) {
    RepairedRecording found;
    unsigned char header[kRecordingHeaderSize];
    {
        InputFile file(path, InputFile::Access::read);
        found.fileSize = file.size();
        if (!file.Read(0, header, sizeof header))
            Refuse(path, "holds fewer than the 44 bytes of a recording's header");
    }
    if (!SameBytes(header, 0, 4) || std::memcmp(header + 8, "WAVE", 4) != 0)
        Refuse(path, "is not a WAVE file");
    if (!SameBytes(header, 8, kDataSizeAt))
        Refuse(path, "is not a recording of the library (its header is not the 44-byte header "
                     "of 8000 Hz 16-bit mono PCM that the recorder writes)");
    found.declaredSize = ReadLe32(header + kDataSizeAt);
    if (!IsUnfinishedRecording(header, found.fileSize))
        Refuse(path, "is already finished: its header declares " +
                         std::to_string(found.declaredSize) + " bytes of sound");

    // Whole 16-bit samples only; an odd last byte stays in the file, outside
    // the declared data, so that no byte of sound changes.
    const uint64_t data = (found.fileSize - kRecordingHeaderSize) & ~uint64_t(1);
    if (data > RecordingHeader::kLargestData)
        Refuse(path, "holds " + std::to_string(data) +
                         " bytes of sound, more than a WAVE header can declare");
    found.dataSize = static_cast<uint32_t>(data);

    InputFile file(path, InputFile::Access::readWrite);
    std::string why;
    bool written = true;
    for (const RecordingHeader::SizeField& field : RecordingHeader::SizeFields(found.dataSize))
        written = written && file.Write(field.at, field.bytes, sizeof field.bytes, &why);
    std::string closeWhy;
    const bool closed = file.Close(&closeWhy);
    if (!written || !closed)
        throw Failure(kCannotCreate,
                      "cannot write the sizes into " + path + ": " + (written ? closeWhy : why));
    return found;
}

} // namespace cli
