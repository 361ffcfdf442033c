// SPDX-License-Identifier: MIT
// Playback and recording at the same time: the two engines share only the
// log, so each keeps every byte while the other runs.
#include "kaldrix.h"
#include "platform/platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using kxtest::Bytes;

TEST(DuplexRealTimeThreads, PlayingWhileRecordingKeepsBothStreamsByteExact) {
    kxtest::TempDir dir;
    const Bytes fed = kxtest::Pattern(16000 * 8, 7);
    kxtest::WriteFile(dir.File("fed.raw"), fed);
    const Bytes played = kxtest::Pattern(16384 * 2 + 5000, 3); // two and a bit blocks
    kxtest::WriteFile(dir.File("play.wav"), kxtest::PcmWave(1, 8000, 16, played));
    kxtest::ScopedEnv audio("KALDRIX_AUDIO", "virtual");
    kxtest::ScopedEnv in("KALDRIX_VIRTUAL_IN", dir.File("fed.raw"));
    kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("heard.raw"));

    ASSERT_EQ(KxStartRecFile(dir.File("rec.wav").c_str()), 1);
    ASSERT_EQ(KxStartPlayFile(dir.File("play.wav").c_str()), 1);
    EXPECT_EQ(KxRecordStatus(), 1);
    // 2.3 s of sound and the 2 s pause after it; generous for a busy machine.
    const DWORD started = GetTickCount();
    while (KxPlayStatus() == 1 && GetTickCount() - started < 30000)
        ;
    EXPECT_EQ(KxPlayStatus(), 0) << "the playback ended by itself";
    EXPECT_EQ(KxRecordStatus(), 1) << "the recording went on meanwhile";
    ASSERT_EQ(KxStopRecFile(), 1);

    EXPECT_EQ(kxtest::ReadFile(dir.File("heard.raw")), played);
    const Bytes recording = kxtest::ReadFile(dir.File("rec.wav"));
    ASSERT_GE(recording.size(), 44u + 960 * 30);
    const Bytes data(recording.begin() + 44, recording.end());
    EXPECT_EQ(kxtest::ReadLe32(recording, 40), data.size());
    EXPECT_EQ(data.size() % 960, 0u);
    EXPECT_EQ(data, Bytes(fed.begin(), fed.begin() + static_cast<long>(data.size())));
}

} // namespace
