// SPDX-License-Identifier: MIT
// CWaveForm over files built byte by byte: the layouts real files have, the
// malformed ones, the block sequence and its end conditions, and the format
// record with its extra bytes.
#include "playback/WaveForm.h"
#include "support/TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Windows declares the result codes as plain int constants.
constexpr MMRESULT kNoError = MMSYSERR_NOERROR;
using kxtest::Bytes;
using kxtest::Pattern;
using kxtest::RiffWriter;

constexpr int kBlock = CWaveForm::kBlockSize;

// A 16-byte "fmt " body with any format tag.
Bytes FormatBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    Bytes body = kxtest::PcmFormat(channels, rate, bits);
    body[0] = uint8_t(tag);
    body[1] = uint8_t(tag >> 8);
    return body;
}

// `body` followed by a cbSize field and the bytes after it.
Bytes WithExtra(const Bytes& body, uint16_t cbSize, const Bytes& extra) {
    RiffWriter writer;
    writer.Raw(body).U16(cbSize).Raw(extra);
    return writer.bytes();
}

Bytes Wave(const RiffWriter& chunks) { return RiffWriter::Riff("WAVE", chunks.bytes()); }

Bytes Slice(const Bytes& bytes, size_t offset, size_t size) {
    return Bytes(bytes.begin() + long(offset), bytes.begin() + long(offset + size));
}

// The results that a data chunk of `size` bytes gives in blocks of whole
// `frame`-byte sample frames, up to the final 0.
std::vector<int> BlockResults(size_t size, size_t frame = 1) {
    const size_t block = kBlock - kBlock % frame;
    std::vector<int> results(size / block, int(block));
    if (size % block)
        results.push_back(int(size % block));
    results.push_back(0);
    return results;
}

struct Stream {
    std::vector<int> results;
    Bytes data;
};

// Reads blocks as the player does, until ReadBlock gives 0 or -1.
Stream ReadAll(CWaveForm& wave) {
    Stream stream;
    for (;;) {
        const int count = wave.ReadBlock();
        stream.results.push_back(count);
        if (count <= 0 || stream.results.size() > 100000)
            return stream;
        const char* block = wave.NextBuffer();
        stream.data.insert(stream.data.end(), block, block + count);
    }
}

class WaveFormTest : public ::testing::Test {
protected:
    std::string Write(const Bytes& bytes, const std::string& name = "sound.wav") {
        const std::string path = m_dir.File(name);
        kxtest::WriteFile(path, bytes);
        return path;
    }
    // A wave form over `bytes`, opened; the result of the open in *result.
    std::unique_ptr<CWaveForm> Open(const Bytes& bytes, WAVEFORMATEX& format, int* result) {
        auto wave = std::make_unique<CWaveForm>(Write(bytes).c_str());
        *result = wave->OpenWaveForm(format);
        return wave;
    }

    kxtest::TempDir m_dir;
};

TEST_F(WaveFormTest, FailedOpenReturnsOneAndLeavesNoFileOpen) {
    const Bytes pcm16 = kxtest::PcmFormat(1, 8000, 16);
    const Bytes data = Pattern(1000);
    Bytes notRiff = kxtest::PcmWave(1, 8000, 16, data);
    std::memcpy(notRiff.data(), "RIFX", 4);
    RiffWriter fmtAndData;
    fmtAndData.Chunk("fmt ", pcm16).Chunk("data", data);

    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"empty file", {}},
        {"not RIFF", notRiff},
        {"RIFF of another form type", RiffWriter::Riff("AVI ", fmtAndData.bytes())},
        {"no fmt chunk", Wave(RiffWriter().Chunk("LIST", Pattern(9)).Chunk("data", data))},
        {"data before fmt", Wave(RiffWriter().Chunk("data", data).Chunk("fmt ", pcm16))},
        {"no data chunk", Wave(RiffWriter().Chunk("fmt ", pcm16).Chunk("LIST", Pattern(8)))},
        {"fmt of 14 bytes",
         Wave(RiffWriter().Chunk("fmt ", Slice(pcm16, 0, 14)).Chunk("data", data))},
        {"cbSize 22 in an 18-byte fmt",
         Wave(RiffWriter()
                  .Chunk("fmt ", WithExtra(FormatBody(2, 1, 8000, 4), 22, {}))
                  .Chunk("data", data))},
        {"cbSize one byte beyond the fmt chunk",
         Wave(RiffWriter()
                  .Chunk("fmt ", WithExtra(FormatBody(0xFFFE, 1, 8000, 16), 22, Pattern(21)))
                  .Chunk("data", data))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = kxtest::OpenFileCount();
        WAVEFORMATEX format{};
        int result = -1;
        auto wave = Open(c.file, format, &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(kxtest::OpenFileCount(), before) << "the failed open closed its file";
        EXPECT_EQ(wave->ReadBlock(), 0) << "nothing to deliver";
    }

    for (const std::string& path : {m_dir.File("missing.wav"), std::string(), m_dir.path()}) {
        SCOPED_TRACE("name '" + path + "'");
        CWaveForm wave(path.c_str());
        WAVEFORMATEX format{};
        EXPECT_EQ(wave.OpenWaveForm(format), 1);
    }
}

// A search takes at most 65536 chunks, so that no file of empty chunks is
// walked for long: a format chunk after 65535 others is found, after 65536
// it is missing.
TEST_F(WaveFormTest, ChunkSearchGivesUpAfter65536Chunks) {
    for (const int before : {65535, 65536}) {
        SCOPED_TRACE(before);
        RiffWriter chunks;
        for (int i = 0; i < before; ++i)
            chunks.Chunk("junk", {});
        chunks.Chunk("fmt ", kxtest::PcmFormat(1, 8000, 16)).Chunk("data", Pattern(100));
        WAVEFORMATEX format{};
        int result = -1;
        auto wave = Open(Wave(chunks), format, &result);
        EXPECT_EQ(result, before < 65536 ? 0 : 1);
    }
}

TEST_F(WaveFormTest, WithoutFmtChunkTheCallersRecordIsLeftAsItWas) {
    WAVEFORMATEX format;
    std::memset(&format, 0x5A, sizeof format);
    int result = -1;
    auto wave = Open(Wave(RiffWriter().Chunk("data", Pattern(100))), format, &result);
    EXPECT_EQ(result, 1);
    const Bytes untouched(sizeof format, 0x5A);
    EXPECT_EQ(std::memcmp(&format, untouched.data(), sizeof format), 0);
}

TEST_F(WaveFormTest, RealWorldLayoutsDeliverTheirFormatAndExactData) {
    const Bytes pcm16 = kxtest::PcmFormat(1, 8000, 16);
    const Bytes float32 = FormatBody(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 32);
    const Bytes extensible = FormatBody(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 24);
    RiffWriter extensibleExtra; // valid bits, channel mask, PCM sub-format
    extensibleExtra.U16(24).U32(3).U32(1).U16(0).U16(0x10).Raw(
        {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    const Bytes adpcm = FormatBody(2, 1, 8000, 4);
    const Bytes coefficients = Pattern(32, 7);
    const Bytes fact = RiffWriter().U32(12345).bytes();
    // Odd sizes of 2-byte frames: the last, partial frame is left out.
    const Bytes odd = Pattern(10001, 2);
    const Bytes oddFrames(odd.begin(), odd.end() - 1);

    // An odd-sized data chunk that ends the file without its pad byte.
    RiffWriter unpadded;
    unpadded.Tag("RIFF")
        .U32(4 + 24 + 8 + 999)
        .Tag("WAVE")
        .Chunk("fmt ", pcm16)
        .Tag("data")
        .U32(999);
    unpadded.Raw(Pattern(999, 3));

    struct Case {
        const char* name;
        Bytes file;
        Bytes format; // the 16 bytes before cbSize
        uint16_t cbSize;
        Bytes extra;
        Bytes data;
    };
    const Case cases[] = {
        {"PCM, 16-byte fmt directly followed by data",
         kxtest::PcmWave(1, 8000, 16, odd),
         pcm16,
         0,
         {},
         oddFrames},
        {"float, 16-byte fmt directly followed by data",
         Wave(RiffWriter().Chunk("fmt ", float32).Chunk("data", Pattern(20000))),
         float32,
         0,
         {},
         Pattern(20000)},
        {"LIST and fact before fmt, odd sizes with pad bytes",
         Wave(RiffWriter()
                  .Chunk("LIST", Pattern(13, 4))
                  .Chunk("fact", fact)
                  .Chunk("fmt ", pcm16)
                  .Chunk("data", odd)
                  .Chunk("LIST", Pattern(7, 5))),
         pcm16,
         0,
         {},
         oddFrames},
        {"fact and LIST between fmt and data",
         Wave(RiffWriter()
                  .Chunk("fmt ", pcm16)
                  .Chunk("fact", fact)
                  .Chunk("LIST", Pattern(7, 6))
                  .Chunk("data", Pattern(33000))),
         pcm16,
         0,
         {},
         Pattern(33000)},
        {"odd data chunk without pad byte at the end",
         unpadded.bytes(),
         pcm16,
         0,
         {},
         Pattern(998, 3)},
        {"8-bit mono",
         kxtest::PcmWave(1, 11025, 8, Pattern(5000)),
         kxtest::PcmFormat(1, 11025, 8),
         0,
         {},
         Pattern(5000)},
        {"24-bit mono",
         kxtest::PcmWave(1, 48000, 24, Pattern(21000)),
         kxtest::PcmFormat(1, 48000, 24),
         0,
         {},
         Pattern(21000)},
        {"16-bit stereo",
         kxtest::PcmWave(2, 44100, 16, Pattern(40000)),
         kxtest::PcmFormat(2, 44100, 16),
         0,
         {},
         Pattern(40000)},
        {"WAVE_FORMAT_EXTENSIBLE with 22 extra bytes",
         Wave(RiffWriter()
                  .Chunk("fmt ", WithExtra(extensible, 22, extensibleExtra.bytes()))
                  .Chunk("fact", fact)
                  .Chunk("data", Pattern(6000))),
         extensible, 22, extensibleExtra.bytes(), Pattern(6000)},
        {"ADPCM coefficients in a fmt chunk longer than its cbSize",
         Wave(
             RiffWriter()
                 .Chunk("fmt ", WithExtra(adpcm, 32, RiffWriter().Raw(coefficients).U16(0).bytes()))
                 .Chunk("data", Pattern(300))),
         adpcm, 32, coefficients, Pattern(300)},
        {"non-PCM 18-byte fmt with cbSize 0",
         Wave(RiffWriter().Chunk("fmt ", WithExtra(float32, 0, {})).Chunk("data", Pattern(64))),
         float32,
         0,
         {},
         Pattern(64)},
        {"PCM whose 18-byte fmt claims cbSize 22",
         Wave(RiffWriter().Chunk("fmt ", WithExtra(pcm16, 22, {})).Chunk("data", Pattern(64))),
         pcm16,
         0,
         {},
         Pattern(64)},
        {"PCM whose 20-byte fmt carries 2 extra bytes",
         Wave(RiffWriter().Chunk("fmt ", WithExtra(pcm16, 2, {1, 2})).Chunk("data", Pattern(64))),
         pcm16,
         0,
         {},
         Pattern(64)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WAVEFORMATEX format;
        std::memset(&format, 0x5A, sizeof format);
        int result = -1;
        auto wave = Open(c.file, format, &result);
        ASSERT_EQ(result, 0);
        EXPECT_EQ(
            Bytes(reinterpret_cast<uint8_t*>(&format), reinterpret_cast<uint8_t*>(&format) + 16),
            c.format);
        EXPECT_EQ(format.cbSize, c.cbSize);
        EXPECT_EQ(wave->ExtraFormatBytes(), c.extra);
        const Stream stream = ReadAll(*wave);
        EXPECT_EQ(stream.results,
                  BlockResults(c.data.size(), std::max<size_t>(format.nBlockAlign, 1)));
        EXPECT_TRUE(stream.data == c.data) << "the data chunk's bytes, nothing else";
        EXPECT_EQ(wave->CloseWaveForm(), kNoError);
    }
}

TEST_F(WaveFormTest, TwoAndAHalfBlocksAlternateBetweenTheTwoBuffers) {
    const Bytes data = Pattern(2 * kBlock + kBlock / 2);
    WAVEFORMATEX format{};
    int result = -1;
    auto wave = Open(kxtest::PcmWave(1, 8000, 16, data), format, &result);
    ASSERT_EQ(result, 0);
    auto holds = [&](const char* block, size_t offset, size_t size) {
        return std::memcmp(block, data.data() + offset, size) == 0;
    };

    ASSERT_EQ(wave->ReadBlock(), kBlock);
    char* first = wave->NextBuffer();
    EXPECT_TRUE(holds(first, 0, kBlock));
    ASSERT_EQ(wave->ReadBlock(), kBlock);
    char* second = wave->NextBuffer();
    EXPECT_NE(first, second);
    EXPECT_TRUE(holds(second, kBlock, kBlock));
    EXPECT_TRUE(holds(first, 0, kBlock)) << "filling one buffer leaves the other, still playing";
    ASSERT_EQ(wave->ReadBlock(), kBlock / 2);
    EXPECT_EQ(wave->NextBuffer(), first);
    EXPECT_TRUE(holds(first, 2 * kBlock, kBlock / 2));
    EXPECT_TRUE(holds(second, kBlock, kBlock));
    EXPECT_EQ(wave->BlockCounter(), 3);
    EXPECT_EQ(wave->ReadBlock(), 0);
    EXPECT_EQ(wave->ReadBlock(), 0);

    EXPECT_EQ(wave->CloseWaveForm(), kNoError);
    EXPECT_EQ(wave->BlockCounter(), 0);
}

// The data chunk plays its declared size (unsigned: streamed files declare
// 0xFFFFFFFF) or to the end of the file, whichever comes first; a last block
// cut by the end of the file plays in whole sample frames.
TEST_F(WaveFormTest, DataDeliversItsDeclaredSizeOrWhatTheFileHoldsInWholeFrames) {
    struct Case {
        uint32_t declared;
        size_t present;
        uint16_t channels;
        std::vector<int> results;
    };
    const Case cases[] = {
        {0, 0, 1, {0}},
        {0x80000000u, 3000, 1, {3000, 0}},
        {0xFFFFFFFFu, 40001, 1, {kBlock, kBlock, 7232, 0}},
        {50000, 40000, 1, {kBlock, kBlock, 7232, 0}},
        {40000, 2 * kBlock, 1, {kBlock, kBlock, 0}},
        {20000, 0, 1, {0}},
        {1000, 999, 1, {998, 0}},
        {1000, 998, 2, {996, 0}},
        {1000, 1, 1, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.declared << " declared, " << c.present << " present");
        const Bytes present = Pattern(c.present);
        RiffWriter file;
        file.Tag("RIFF").U32(
            uint32_t(std::min<uint64_t>(4 + 24 + 8 + uint64_t{c.declared}, 0xFFFFFFFFu)));
        file.Tag("WAVE")
            .Chunk("fmt ", kxtest::PcmFormat(c.channels, 8000, 16))
            .Tag("data")
            .U32(c.declared)
            .Raw(present);
        WAVEFORMATEX format{};
        int result = -1;
        auto wave = Open(file.bytes(), format, &result);
        ASSERT_EQ(result, 0);
        const Stream stream = ReadAll(*wave);
        EXPECT_EQ(stream.results, c.results);
        EXPECT_TRUE(stream.data == Slice(present, 0, stream.data.size()));
        EXPECT_EQ(wave->ReadBlock(), 0) << "the end stays the end";
        EXPECT_EQ(wave->CloseWaveForm(), kNoError);
    }
}

TEST_F(WaveFormTest, BothBuffersHoldOnly0x80BeforeAnyRead) {
    WAVEFORMATEX format{};
    int result = -1;
    auto wave = Open(kxtest::PcmWave(1, 8000, 16, Pattern(100)), format, &result);
    ASSERT_EQ(result, 0);
    const Bytes silence(kBlock, 0x80);
    for (int i = 0; i < 2; ++i) {
        const char* block = wave->NextBuffer();
        EXPECT_EQ(std::memcmp(block, silence.data(), kBlock), 0) << "buffer " << i;
    }
}

TEST_F(WaveFormTest, NameLongerThan255BytesIsRefusedNotCut) {
    // A 255-byte name opens; the same name with more after it must not open
    // that file.
    const std::string folder = m_dir.path() + "/";
    ASSERT_LT(folder.size(), 200u);
    const std::string name255 = folder + std::string(255 - folder.size(), 'n');
    kxtest::WriteFile(name255, kxtest::PcmWave(1, 8000, 16, Pattern(100)));
    {
        CWaveForm wave(name255.c_str());
        WAVEFORMATEX format{};
        EXPECT_EQ(wave.OpenWaveForm(format), 0);
        EXPECT_EQ(wave.CloseWaveForm(), kNoError);
    }
    for (const std::string& longer : {name255 + "x", name255 + std::string(3000, 'y')}) {
        SCOPED_TRACE(longer.size());
        const int before = kxtest::OpenFileCount();
        CWaveForm wave(longer.c_str());
        WAVEFORMATEX format{};
        EXPECT_EQ(wave.OpenWaveForm(format), 1);
        EXPECT_EQ(kxtest::OpenFileCount(), before);
    }
}

TEST_F(WaveFormTest, DeletingAnOpenWaveFormClosesItsFile) {
    const int before = kxtest::OpenFileCount();
    WAVEFORMATEX format{};
    int result = -1;
    auto wave = Open(kxtest::PcmWave(1, 8000, 16, Pattern(100)), format, &result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(kxtest::OpenFileCount(), before + 1);
    wave.reset();
    EXPECT_EQ(kxtest::OpenFileCount(), before);
}

} // namespace
