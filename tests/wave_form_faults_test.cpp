// SPDX-License-Identifier: MIT
// CWaveForm when the buffered I/O fails underneath it, through the POSIX
// layer's fault injection: what it returns and which file stays open.
#include "winapi/testing/TestInterface.h"
#include "playback/WaveForm.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

using kxtest::Pattern;

class WaveFormFaults : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.File("sound.wav");
        kxtest::WriteFile(m_path, kxtest::PcmWave(1, 8000, 16, Pattern(40000)));
        m_filesBefore = kxtest::OpenFileCount();
    }
    void TearDown() override { kxtest::ClearFailures(); }
    int FilesOpened() const { return kxtest::OpenFileCount() - m_filesBefore; }

    kxtest::TempDir m_dir;
    std::string m_path;
    int m_filesBefore = 0;
};

TEST_F(WaveFormFaults, GetInfoFailureFailsTheOpenAndClosesTheFile) {
    kxtest::FailOperation("mmioGetInfo", MMSYSERR_NOMEM);
    CWaveForm wave(m_path.c_str());
    WAVEFORMATEX format{};
    EXPECT_EQ(wave.OpenWaveForm(format), 1);
    EXPECT_EQ(FilesOpened(), 0);
}

TEST_F(WaveFormFaults, RefillFailureEndsTheStreamWithMinusOne) {
    CWaveForm wave(m_path.c_str());
    WAVEFORMATEX format{};
    ASSERT_EQ(wave.OpenWaveForm(format), 0);
    ASSERT_EQ(wave.ReadBlock(), CWaveForm::kBlockSize);
    wave.NextBuffer();
    kxtest::FailOperation("mmioAdvance", MMIOERR_CANNOTREAD);
    EXPECT_EQ(wave.ReadBlock(), -1);
    EXPECT_EQ(wave.CloseWaveForm(), MMSYSERR_NOERROR);
    EXPECT_EQ(FilesOpened(), 0);
}

TEST_F(WaveFormFaults, FailedCloseReturnsTheCodeKeepsTheFileAndIsTriedAgain) {
    for (const char* operation : {"mmioSetInfo", "mmioClose"}) {
        SCOPED_TRACE(operation);
        // Closed again by hand, then by the delete.
        for (bool closeByDelete : {false, true}) {
            auto wave = std::make_unique<CWaveForm>(m_path.c_str());
            WAVEFORMATEX format{};
            ASSERT_EQ(wave->OpenWaveForm(format), 0);
            kxtest::FailOperation(operation, MMSYSERR_ERROR);
            EXPECT_EQ(wave->CloseWaveForm(), MMSYSERR_ERROR);
            EXPECT_EQ(FilesOpened(), 1) << "the file stays open";
            if (!closeByDelete) {
                EXPECT_EQ(wave->CloseWaveForm(), MMSYSERR_NOERROR);
            }
            wave.reset();
            EXPECT_EQ(FilesOpened(), 0);
        }
    }
}

} // namespace
