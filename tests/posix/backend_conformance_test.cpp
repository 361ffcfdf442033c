// SPDX-License-Identifier: MIT
// What WaveStream relies on from every backend of the table, one suite for
// all: formats checked without opening, frames moved, the clock's pending
// frames and time-outs, a drop that empties the device. A backend that needs
// the audio server (ALSA) runs here against it (ctest -L alsa).
#include "winapi/audio/Backend.h"
#include "support/AudioRig.h"

#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kRate = 8000;

WAVEFORMATEX Mono16() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = kRate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 2 * kRate;
    return format;
}

class BackendConformance : public ::testing::TestWithParam<const BackendKind*> {
protected:
    void SetUp() override {
        if (GetParam() == &kAlsaBackend && !kxtest::AudioRigRunning())
            GTEST_SKIP() << "no audio server: run ctest --preset native -L alsa";
    }

    std::unique_ptr<Backend> Open(Direction direction) {
        const std::vector<DeviceName> devices = GetParam()->devices(direction);
        EXPECT_FALSE(devices.empty());
        std::unique_ptr<Backend> backend;
        if (!devices.empty()) {
            EXPECT_EQ(GetParam()->open(direction, devices[0].id, Mono16(), &backend),
                      MMSYSERR_NOERROR);
        }
        return backend;
    }

    // Sleeps as the stream does: on the descriptors, at most `timeoutMs`.
    static void Sleep(Backend& backend, int timeoutMs) {
        pollfd descriptors[8];
        const int count = backend.Descriptors(descriptors, 8);
        if (::poll(descriptors, static_cast<nfds_t>(count), timeoutMs) > 0)
            backend.Woken(descriptors, count);
    }
};

// A frame that is not channels x bits / 8 bytes is refused: no buffer is
// ever sized from a declared 65535-byte frame.
TEST_P(BackendConformance, NamesDevicesAndChecksFormatsWithoutOpening) {
    WAVEFORMATEX twelveBits = Mono16();
    twelveBits.wBitsPerSample = 12;
    WAVEFORMATEX wideFrame = Mono16();
    wideFrame.nBlockAlign = 0xFFFF;
    for (Direction direction : {Direction::Playback, Direction::Capture}) {
        for (const DeviceName& device : GetParam()->devices(direction)) {
            EXPECT_FALSE(device.id.empty());
            EXPECT_FALSE(device.display.empty());
            EXPECT_LT(device.display.size(), size_t{MAXPNAMELEN}) << device.display;
        }
        EXPECT_EQ(GetParam()->check(direction, Mono16()), MMSYSERR_NOERROR);
        EXPECT_EQ(GetParam()->check(direction, twelveBits), WAVERR_BADFORMAT);
        EXPECT_EQ(GetParam()->check(direction, wideFrame), WAVERR_BADFORMAT);
    }
}

// Half a second written plays out at the format's rate, neither at once nor
// much later, with time-outs that wake the stream when it is heard; a drop
// leaves nothing pending.
TEST_P(BackendConformance, PlaybackPlaysWhatItTookAtTheRateAndDropsAtOnce) {
    const std::unique_ptr<Backend> backend = Open(Direction::Playback);
    ASSERT_TRUE(backend);
    EXPECT_STRNE(backend->ThreadName(), "");
    ASSERT_GT(backend->BufferFrames(), backend->PeriodFrames());
    std::vector<char> silence(kRate, 0); // half a second
    const auto begun = Clock::now();
    long taken = 0;
    while (taken < static_cast<long>(kRate / 2) && Clock::now() - begun < std::chrono::seconds(5)) {
        const long moved = backend->Transfer(silence.data(), kRate / 2 - taken);
        ASSERT_GE(moved, 0);
        taken += moved;
        if (moved == 0)
            Sleep(*backend, 50);
    }
    backend->Start();
    EXPECT_GT(backend->Pending(), 0);
    EXPECT_LE(backend->Pending(), taken);
    EXPECT_GT(backend->MillisecondsUntil(0), 0);
    while (backend->Pending() > 0 && Clock::now() - begun < std::chrono::seconds(10))
        Sleep(*backend, std::max(1, backend->MillisecondsUntil(0)));
    const auto took = Clock::now() - begun;
    EXPECT_GE(took, std::chrono::milliseconds(400)) << "faster than the rate";
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(backend->Pending(), 0);
    EXPECT_EQ(backend->MillisecondsUntil(0), 0);

    ASSERT_GT(backend->Transfer(silence.data(), kRate / 4), 0);
    backend->Drop();
    EXPECT_EQ(backend->Pending(), 0);
    EXPECT_GT(backend->Transfer(silence.data(), kRate / 4), 0) << "ready again after the drop";
}

// Frames come due from the start at the rate, can be read in full, a drop
// stops the capture, and a start after it records again.
TEST_P(BackendConformance, CaptureDeliversAtTheRateFromTheStart) {
    const std::unique_ptr<Backend> backend = Open(Direction::Capture);
    ASSERT_TRUE(backend);
    std::vector<char> buffer(kRate * 2);
    backend->Start();
    const auto begun = Clock::now();
    long read = 0;
    while (read < static_cast<long>(kRate / 2) && Clock::now() - begun < std::chrono::seconds(5)) {
        const long wanted = kRate / 2 - read;
        const int due = backend->MillisecondsUntil(static_cast<unsigned long>(wanted));
        EXPECT_GE(due, 0);
        if (due > 0)
            Sleep(*backend, due);
        const long moved =
            backend->Transfer(buffer.data() + read * 2, static_cast<unsigned long>(wanted));
        ASSERT_GE(moved, 0);
        read += moved;
    }
    const auto took = Clock::now() - begun;
    EXPECT_EQ(read, static_cast<long>(kRate / 2));
    EXPECT_GE(took, std::chrono::milliseconds(400)) << "faster than the rate";
    EXPECT_LT(took, std::chrono::seconds(5));
    // A frame read out of a period's worth leaves the rest pending, however
    // the backend holds it; a drop discards all of it.
    const int due = backend->MillisecondsUntil(std::max<unsigned long>(backend->PeriodFrames(), 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(due, 1)));
    ASSERT_EQ(backend->Transfer(buffer.data(), 1), 1);
    EXPECT_GT(backend->Pending(), 0);
    backend->Drop();
    EXPECT_EQ(backend->Pending(), 0);
    backend->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(due, 1)));
    EXPECT_GT(backend->Transfer(buffer.data(), 2), 0) << "records again after the drop";
}

INSTANTIATE_TEST_SUITE_P(Table, BackendConformance, ::testing::ValuesIn(AllBackends()),
                         [](const auto& info) { return std::string(info.param->name); });

} // namespace
