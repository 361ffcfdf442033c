// SPDX-License-Identifier: MIT
// Buffered RIFF I/O where the reader relies on Windows' exact behaviour:
// where a search starts and stops, where the position is left, and how the
// I/O buffer's pointers move under direct access.
#include "platform/platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// Windows declares the result codes as plain int constants.
constexpr MMRESULT kNoError = MMSYSERR_NOERROR;
constexpr MMRESULT kInvalidHandle = MMSYSERR_INVALHANDLE;
constexpr MMRESULT kChunkNotFound = MMIOERR_CHUNKNOTFOUND;
using kxtest::Bytes;
using kxtest::Pattern;
using kxtest::RiffWriter;

const FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
const FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
const FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');

class MmioTest : public ::testing::Test {
protected:
    HMMIO OpenBytes(const Bytes& bytes) {
        std::string path = m_dir.File("file.riff");
        kxtest::WriteFile(path, bytes);
        return mmioOpenA(&path[0], nullptr, MMIO_ALLOCBUF | MMIO_READ);
    }
    Bytes Read(HMMIO file, LONG count) {
        Bytes bytes(size_t(count) + 1);
        const LONG got = mmioRead(file, reinterpret_cast<HPSTR>(bytes.data()), count);
        bytes.resize(got > 0 ? size_t(got) : 0);
        return bytes;
    }
    MMCKINFO Find(HMMIO file, FOURCC id, const MMCKINFO* parent, MMRESULT* result) {
        MMCKINFO chunk{};
        chunk.ckid = id;
        *result = mmioDescend(file, &chunk, parent, MMIO_FINDCHUNK);
        return chunk;
    }

    kxtest::TempDir m_dir;
};

TEST_F(MmioTest, DescendFindsChunksSkippingOthersWithTheirPadBytes) {
    const Bytes format = kxtest::PcmFormat(1, 8000, 16);
    const Bytes data = Pattern(20000);
    const Bytes file = RiffWriter::Riff("WAVE", RiffWriter()
                                                    .Chunk("LIST", Pattern(13))
                                                    .Chunk("fmt ", format)
                                                    .Chunk("junk", Pattern(3))
                                                    .Chunk("data", data)
                                                    .bytes());
    HMMIO handle = OpenBytes(file);
    ASSERT_NE(handle, nullptr);

    MMCKINFO riff{};
    riff.fccType = kWave;
    ASSERT_EQ(mmioDescend(handle, &riff, nullptr, MMIO_FINDRIFF), kNoError);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.cksize, file.size() - 8);
    EXPECT_EQ(riff.dwDataOffset, 8u);

    MMRESULT result;
    MMCKINFO fmt = Find(handle, kFmt, &riff, &result);
    ASSERT_EQ(result, kNoError);
    EXPECT_EQ(fmt.cksize, 16u);
    EXPECT_EQ(fmt.dwDataOffset, 12u + 8 + 14 + 8) << "past the LIST chunk and its pad byte";
    EXPECT_EQ(Read(handle, 16), format) << "the position is at the chunk's data";
    EXPECT_EQ(mmioAscend(handle, &fmt, 0), kNoError);

    MMCKINFO dataChunk = Find(handle, kData, &riff, &result);
    ASSERT_EQ(result, kNoError);
    EXPECT_EQ(dataChunk.cksize, data.size());
    EXPECT_EQ(dataChunk.dwDataOffset, fmt.dwDataOffset + 16 + 8 + 4 + 8);
    EXPECT_EQ(Read(handle, 30000), data) << "across buffer loads, up to the end of the file";
    char spare[4];
    EXPECT_EQ(mmioRead(handle, spare, 4), 0) << "the end of the file";
    EXPECT_EQ(mmioClose(handle, 0), kNoError);
}

TEST_F(MmioTest, SearchRunsForwardOnlyAndStaysInsideTheParent) {
    const Bytes format = kxtest::PcmFormat(1, 8000, 16);
    // The RIFF chunk holds only its type and "fmt "; a data chunk follows it.
    // Windows stops the search at the parent's end; Wine's mmioDescend reads
    // on to the end of the file and would find it.
    RiffWriter outside;
    outside.Tag("RIFF").U32(4 + 24).Tag("WAVE").Chunk("fmt ", format).Chunk("data", Pattern(50));
    HMMIO handle = OpenBytes(outside.bytes());
    ASSERT_NE(handle, nullptr);
    MMCKINFO riff{};
    riff.fccType = kWave;
    ASSERT_EQ(mmioDescend(handle, &riff, nullptr, MMIO_FINDRIFF), kNoError);
    MMRESULT result;
    Find(handle, kData, &riff, &result);
    EXPECT_EQ(result, kChunkNotFound);
    EXPECT_EQ(mmioClose(handle, 0), kNoError);

    // After the odd-sized "odd " chunk, "fmt " lies behind the position.
    handle = OpenBytes(RiffWriter::Riff(
        "WAVE",
        RiffWriter().Chunk("fmt ", format).Chunk("odd ", Pattern(5)).Chunk("next", {}).bytes()));
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(mmioDescend(handle, &riff, nullptr, MMIO_FINDRIFF), kNoError);
    MMCKINFO odd = Find(handle, mmioFOURCC('o', 'd', 'd', ' '), &riff, &result);
    ASSERT_EQ(result, kNoError);
    ASSERT_EQ(mmioAscend(handle, &odd, 0), kNoError);
    EXPECT_EQ(Read(handle, 4), (Bytes{'n', 'e', 'x', 't'})) << "ascend skips the pad byte";
    Find(handle, kFmt, &riff, &result);
    EXPECT_EQ(result, kChunkNotFound);
    EXPECT_EQ(mmioClose(handle, 0), kNoError);
}

TEST_F(MmioTest, DirectBufferAccessWalksTheFileAndEndsWithNextAtEndRead) {
    const Bytes file = Pattern(3 * MMIO_DEFAULTBUFFER + 1234);
    HMMIO handle = OpenBytes(file);
    ASSERT_NE(handle, nullptr);
    MMIOINFO info{};
    ASSERT_EQ(mmioGetInfo(handle, &info, 0), kNoError);
    EXPECT_EQ(info.cchBuffer, MMIO_DEFAULTBUFFER);
    ASSERT_NE(info.pchBuffer, nullptr);

    Bytes seen;
    int loads = 0;
    for (;;) {
        if (info.pchNext == info.pchEndRead) {
            ASSERT_EQ(mmioAdvance(handle, &info, MMIO_READ), kNoError);
            if (info.pchNext == info.pchEndRead)
                break; // the end of the file
            ++loads;
            EXPECT_EQ(info.pchNext, info.pchBuffer);
            EXPECT_LE(info.pchEndRead - info.pchBuffer, MMIO_DEFAULTBUFFER);
        }
        seen.push_back(uint8_t(*info.pchNext++));
    }
    EXPECT_TRUE(seen == file);
    EXPECT_GE(loads, 4) << "the buffer was refilled";
    EXPECT_EQ(mmioAdvance(handle, &info, MMIO_READ), kNoError) << "still no error at the end";
    EXPECT_EQ(info.pchNext, info.pchEndRead);
    EXPECT_EQ(mmioSetInfo(handle, &info, 0), kNoError);
    EXPECT_EQ(mmioClose(handle, 0), kNoError);
}

TEST_F(MmioTest, SetInfoHandsTheReadPositionBack) {
    const Bytes file = Pattern(1000);
    HMMIO handle = OpenBytes(file);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(Read(handle, 2), Bytes(file.begin(), file.begin() + 2)); // loads the buffer
    MMIOINFO info{};
    ASSERT_EQ(mmioGetInfo(handle, &info, 0), kNoError);
    ASSERT_GE(info.pchEndRead - info.pchNext, 10);
    info.pchNext += 10;
    ASSERT_EQ(mmioSetInfo(handle, &info, 0), kNoError);
    EXPECT_EQ(Read(handle, 4), Bytes(file.begin() + 12, file.begin() + 16));
    EXPECT_EQ(mmioClose(handle, 0), kNoError);
}

TEST_F(MmioTest, MissingFileAndClosedHandleFail) {
    std::string missing = m_dir.File("missing.wav");
    MMIOINFO info{};
    EXPECT_EQ(mmioOpenA(&missing[0], &info, MMIO_ALLOCBUF | MMIO_READ), nullptr);
    EXPECT_NE(info.wErrorRet, kNoError);

    HMMIO handle = OpenBytes(Pattern(10));
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(mmioClose(handle, 0), kNoError);
    // A second close, as the wave form's destructor may try, is refused
    // without harm.
    EXPECT_EQ(mmioClose(handle, 0), kInvalidHandle);
    EXPECT_EQ(mmioSetInfo(handle, &info, 0), kInvalidHandle);
}

} // namespace
