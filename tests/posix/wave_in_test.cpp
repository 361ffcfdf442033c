// SPDX-License-Identifier: MIT
// The POSIX wave-in operations and the virtual input: device choice, formats,
// the notifications and header states a CALLBACK_THREAD owner relies on,
// pacing by the clock, the source's bytes in order, resets, and injected
// failures.
#include "platform/platform.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/testing/WaveInTestInterface.h"
#include "support/AudioRig.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

using kxtest::Bytes;

WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = bits;
    return format;
}

// The next message on the calling thread's queue, waiting up to `timeoutMs`.
bool NextMessage(MSG* msg, DWORD timeoutMs) {
    const DWORD begun = GetTickCount();
    while (!PeekMessageA(msg, nullptr, 0, 0, PM_REMOVE)) {
        if (GetTickCount() - begun > timeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

// Buffers of one size with their headers, and an open handle that notifies
// the test's own thread.
class WaveInFixture : public ::testing::Test {
protected:
    void SetUp() override {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // our queue
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    void TearDown() override {
        kxtest::ClearFailures();
        if (m_device) {
            waveInReset(m_device);
            for (auto& header : m_headers)
                waveInUnprepareHeader(m_device, header.get(), sizeof(WAVEHDR));
            waveInClose(m_device);
        }
        EXPECT_EQ(kxtest::OpenWaveInDevices(), 0u);
        EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 0u);
    }

    void Open(const WAVEFORMATEX& format = Pcm(1, 8000, 16)) {
        ASSERT_EQ(
            waveInOpen(&m_device, WAVE_MAPPER, &format, GetCurrentThreadId(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
        MSG msg;
        ASSERT_TRUE(NextMessage(&msg, 2000));
        EXPECT_EQ(msg.message, MM_WIM_OPEN);
        EXPECT_EQ(reinterpret_cast<HWAVEIN>(msg.wParam), m_device);
    }

    void Close() {
        ASSERT_EQ(waveInClose(m_device), MMSYSERR_NOERROR);
        MSG msg;
        ASSERT_TRUE(NextMessage(&msg, 2000));
        EXPECT_EQ(msg.message, MM_WIM_CLOSE);
        m_device = nullptr;
    }

    LPWAVEHDR AddHeader(DWORD size) {
        m_data.emplace_back(size, 0xEE);
        m_headers.push_back(std::make_unique<WAVEHDR>());
        LPWAVEHDR header = m_headers.back().get();
        header->lpData = reinterpret_cast<LPSTR>(m_data.back().data());
        header->dwBufferLength = size;
        EXPECT_EQ(waveInPrepareHeader(m_device, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInAddBuffer(m_device, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        return header;
    }

    // The next MM_WIM_DATA, checked for the handle it carries.
    LPWAVEHDR NextReturned(DWORD timeoutMs = 3000) {
        MSG msg;
        if (!NextMessage(&msg, timeoutMs))
            return nullptr;
        EXPECT_EQ(msg.message, MM_WIM_DATA);
        EXPECT_EQ(reinterpret_cast<HWAVEIN>(msg.wParam), m_device);
        auto* header = reinterpret_cast<LPWAVEHDR>(msg.lParam);
        EXPECT_EQ(header->dwFlags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED),
                  WHDR_DONE | WHDR_PREPARED);
        return header;
    }

    static Bytes DataOf(const WAVEHDR* header) {
        return Bytes(header->lpData, header->lpData + header->dwBytesRecorded);
    }

    kxtest::ScopedEnv m_audio{"KALDRIX_AUDIO", "virtual"};
    kxtest::TempDir m_dir;
    HWAVEIN m_device = nullptr;
    std::vector<Bytes> m_data;
    std::vector<std::unique_ptr<WAVEHDR>> m_headers;
};

using WaveInDevices = WaveInFixture;

TEST_F(WaveInDevices, ChoiceIsReadAtEachCallAndNamesTheVirtualInput) {
    const WAVEFORMATEX format = Pcm(1, 8000, 16);
    WAVEINCAPSA caps{};
    {
        kxtest::ScopedEnv none("KALDRIX_AUDIO", "none");
        EXPECT_EQ(waveInGetNumDevs(), 0u);
        EXPECT_EQ(waveInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
        EXPECT_NE(waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
        HWAVEIN device = nullptr;
        EXPECT_NE(waveInOpen(&device, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    }
    // The virtual input only when asked for: "auto" is ALSA's configured PCM,
    // listed unopened also where ALSA has no device.
    kxtest::AlsaWithoutDevices noAlsa;
    for (const char* choice : {"virtual", "auto", ""}) {
        kxtest::ScopedEnv audio("KALDRIX_AUDIO", choice);
        const bool asked = std::string(choice) == "virtual";
        EXPECT_EQ(waveInGetNumDevs(), 1u) << choice;
        EXPECT_EQ(waveInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
        EXPECT_STREQ(caps.szPname, asked ? "KALDRIX VIRTUAL IN" : "ALSA default device");
        EXPECT_EQ(caps.wChannels, 2);
        EXPECT_EQ(waveInGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    }
}

TEST_F(WaveInDevices, QueryAnswersForTheFormatAndOpensNothing) {
    struct Case {
        WAVEFORMATEX format;
        MMRESULT result;
    };
    WAVEFORMATEX badAlign = Pcm(1, 8000, 16);
    badAlign.nBlockAlign = 4;
    WAVEFORMATEX badRate = Pcm(1, 8000, 16);
    badRate.nAvgBytesPerSec = 8000;
    WAVEFORMATEX flt = Pcm(1, 8000, 16);
    flt.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    const Case cases[] = {{Pcm(1, 8000, 16), MMSYSERR_NOERROR},
                          {Pcm(2, 44100, 16), MMSYSERR_NOERROR},
                          {Pcm(1, 11025, 8), MMSYSERR_NOERROR},
                          {Pcm(1, 8000, 24), MMSYSERR_NOERROR},
                          {Pcm(8, 192000, 32), MMSYSERR_NOERROR},
                          {Pcm(9, 8000, 16), WAVERR_BADFORMAT},
                          {Pcm(1, 8000, 12), WAVERR_BADFORMAT},
                          {badAlign, WAVERR_BADFORMAT},
                          {badRate, WAVERR_BADFORMAT},
                          {flt, WAVERR_BADFORMAT}};
    for (const Case& c : cases) {
        EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &c.format, 0, 0, WAVE_FORMAT_QUERY), c.result)
            << c.format.nChannels << "ch " << c.format.nSamplesPerSec << "Hz "
            << c.format.wBitsPerSample << "bit tag " << c.format.wFormatTag;
    }
    EXPECT_EQ(kxtest::OpenWaveInDevices(), 0u);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "a query posts nothing";
}

using WaveInHeaders = WaveInFixture;

TEST_F(WaveInHeaders, StatesAndResultsFollowWindows) {
    Open();
    WAVEHDR header{};
    Bytes data(960);
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = 960;
    EXPECT_EQ(waveInAddBuffer(m_device, &header, sizeof header), WAVERR_UNPREPARED);
    EXPECT_EQ(waveInUnprepareHeader(m_device, &header, sizeof header), MMSYSERR_NOERROR)
        << "unpreparing a header that is not prepared does nothing";
    EXPECT_EQ(waveInPrepareHeader(m_device, &header, sizeof header - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInPrepareHeader(m_device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 1u);
    EXPECT_EQ(waveInAddBuffer(m_device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_TRUE(header.dwFlags & WHDR_INQUEUE);
    EXPECT_EQ(waveInAddBuffer(m_device, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(m_device, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInClose(m_device), WAVERR_STILLPLAYING) << "the device holds a header";

    const auto bogus = reinterpret_cast<HWAVEIN>(uintptr_t{0x1234});
    EXPECT_EQ(waveInStart(bogus), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInReset(bogus), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInUnprepareHeader(bogus, &header, sizeof header), MMSYSERR_INVALHANDLE);

    EXPECT_EQ(waveInReset(m_device), MMSYSERR_NOERROR);
    LPWAVEHDR returned = NextReturned(0);
    ASSERT_EQ(returned, &header) << "a reset returns the queued header at once";
    EXPECT_EQ(header.dwBytesRecorded, 0u) << "never started";
    EXPECT_EQ(waveInUnprepareHeader(m_device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(kxtest::PreparedWaveInHeaders(), 0u);
    Close();
    EXPECT_EQ(waveInClose(m_device), MMSYSERR_INVALHANDLE) << "a closed handle is never reused";
}

// Each operation fails with the code asked for at the chosen call, once, and
// works again afterwards.
TEST_F(WaveInHeaders, EachOperationCanBeMadeToFailAtTheNthCall) {
    Open();
    WAVEHDR header{};
    Bytes data(64);
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = 64;
    const WAVEFORMATEX format = Pcm(1, 8000, 16);
    WAVEINCAPSA caps{};
    struct Case {
        const char* operation;
        std::function<MMRESULT()> call;
    };
    const Case cases[] = {
        {"waveInGetNumDevs", [] { return waveInGetNumDevs() == 1 ? 0u : 77u; }},
        {"waveInGetDevCapsA", [&] { return waveInGetDevCapsA(0, &caps, sizeof caps); }},
        {"waveInOpen",
         [&] { return waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY); }},
        {"waveInPrepareHeader",
         [&] { return waveInPrepareHeader(m_device, &header, sizeof header); }},
        {"waveInStart", [&] { return waveInStart(m_device); }},
        {"waveInReset", [&] { return waveInReset(m_device); }},
        {"waveInUnprepareHeader",
         [&] { return waveInUnprepareHeader(m_device, &header, sizeof header); }},
    };
    for (const Case& c : cases) {
        kxtest::FailOperation(c.operation, 77, 2, 1);
        EXPECT_EQ(c.call(), MMSYSERR_NOERROR) << c.operation << " first call";
        EXPECT_EQ(c.call(), 77u) << c.operation << " second call";
        EXPECT_EQ(c.call(), MMSYSERR_NOERROR) << c.operation << " third call";
    }
    // From the nth call on, until cleared.
    kxtest::FailOperation("waveInAddBuffer", MMSYSERR_NOMEM, 1, 0);
    ASSERT_EQ(waveInPrepareHeader(m_device, &header, sizeof header), MMSYSERR_NOERROR);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(waveInAddBuffer(m_device, &header, sizeof header), MMSYSERR_NOMEM);
    kxtest::ClearFailures();
    EXPECT_EQ(waveInAddBuffer(m_device, &header, sizeof header), MMSYSERR_NOERROR);
    kxtest::FailOperation("waveInClose", MMSYSERR_ERROR);
    EXPECT_EQ(waveInReset(m_device), MMSYSERR_NOERROR);
    EXPECT_EQ(NextReturned(), &header);
    EXPECT_EQ(waveInUnprepareHeader(m_device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(m_device), MMSYSERR_ERROR);
    Close();
}

using WaveInRealTime = WaveInFixture;

TEST_F(WaveInRealTime, DeliversTheFileInOrderAtTheByteRateThenSilence) {
    const Bytes pattern = kxtest::Pattern(2000, 7);
    kxtest::WriteFile(m_dir.File("in.raw"), pattern);
    kxtest::ScopedEnv input("KALDRIX_VIRTUAL_IN", m_dir.File("in.raw"));
    Open();
    LPWAVEHDR headers[3];
    for (auto& header : headers)
        header = AddHeader(960);
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(waveInStart(m_device), MMSYSERR_NOERROR);
    Bytes received;
    for (LPWAVEHDR expected : headers) {
        LPWAVEHDR header = NextReturned();
        ASSERT_EQ(header, expected) << "returned in the order queued";
        EXPECT_EQ(header->dwBytesRecorded, 960u);
        const Bytes data = DataOf(header);
        received.insert(received.end(), data.begin(), data.end());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    EXPECT_GE(seconds, 0.17) << "2880 bytes at 16000 bytes/s take 0.18 s";
    EXPECT_LT(seconds, 2.0);
    Bytes expected = pattern;
    expected.resize(2880, 0);
    EXPECT_EQ(received, expected);
}

TEST_F(WaveInRealTime, PacingCountsFromTheStartWithoutDrift) {
    Open(Pcm(1, 8000, 8)); // 8000 bytes/s: 80-byte buffers of 10 ms each
    LPWAVEHDR header = AddHeader(80);
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(waveInStart(m_device), MMSYSERR_NOERROR);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(NextReturned(), header);
        ASSERT_EQ(waveInAddBuffer(m_device, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    // A second of capture; time lost re-adding each buffer is made up, not
    // added on.
    EXPECT_GE(seconds, 0.99);
    EXPECT_LT(seconds, 1.9);
}

TEST_F(WaveInRealTime, ResetReturnsAllAtOnceAndNoByteIsDroppedOrRepeated) {
    const Bytes pattern = kxtest::Pattern(16000, 3);
    kxtest::WriteFile(m_dir.File("in.raw"), pattern);
    kxtest::ScopedEnv input("KALDRIX_VIRTUAL_IN", m_dir.File("in.raw"));
    Open();
    LPWAVEHDR headers[4];
    for (auto& header : headers)
        header = AddHeader(960);
    ASSERT_EQ(waveInStart(m_device), MMSYSERR_NOERROR);
    ASSERT_EQ(NextReturned(), headers[0]);
    Sleep(20); // the second buffer is part filled
    ASSERT_EQ(waveInReset(m_device), MMSYSERR_NOERROR);
    LPWAVEHDR partial = NextReturned(0);
    ASSERT_EQ(partial, headers[1]);
    EXPECT_LT(partial->dwBytesRecorded, 960u);
    EXPECT_EQ(partial->dwBytesRecorded % 2, 0u) << "whole samples";
    for (int i = 2; i < 4; ++i) {
        ASSERT_EQ(NextReturned(0), headers[i]);
        EXPECT_EQ(headers[i]->dwBytesRecorded, 0u);
    }
    Bytes received = DataOf(headers[0]);
    const Bytes partData = DataOf(partial);
    received.insert(received.end(), partData.begin(), partData.end());

    // Capture goes on from the next byte after a new start.
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(waveInAddBuffer(m_device, headers[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    Sleep(100);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << "nothing captured until start";
    ASSERT_EQ(waveInStart(m_device), MMSYSERR_NOERROR);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(NextReturned(), headers[i]);
        const Bytes data = DataOf(headers[i]);
        received.insert(received.end(), data.begin(), data.end());
    }
    EXPECT_EQ(received, Bytes(pattern.begin(), pattern.begin() + received.size()));

    // A new open starts again from the file's first byte.
    ASSERT_EQ(waveInReset(m_device), MMSYSERR_NOERROR);
    for (auto& header : m_headers)
        EXPECT_EQ(waveInUnprepareHeader(m_device, header.get(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    Close();
    m_headers.clear();
    m_data.clear();
    Open();
    AddHeader(960);
    ASSERT_EQ(waveInStart(m_device), MMSYSERR_NOERROR);
    LPWAVEHDR first = NextReturned();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(DataOf(first), Bytes(pattern.begin(), pattern.begin() + 960));
}

// In every sample size, the same quarter of full scale in every channel:
// unsigned 8-bit samples, signed little-endian ones of more bits.
TEST_F(WaveInRealTime, WithoutAFileTheInputIsA440HzTone) {
    unsetenv("KALDRIX_VIRTUAL_IN");
    for (const WORD bits : {16, 8, 24, 32}) {
        SCOPED_TRACE(bits);
        const WAVEFORMATEX format = Pcm(2, 8000, bits);
        Open(format);
        const DWORD size = 2400 * format.nBlockAlign; // 0.3 s
        LPWAVEHDR header = AddHeader(size);
        ASSERT_EQ(waveInStart(m_device), MMSYSERR_NOERROR);
        ASSERT_EQ(NextReturned(), header);
        ASSERT_EQ(header->dwBytesRecorded, size);
        const unsigned sampleBytes = bits / 8u;
        const auto* bytes = reinterpret_cast<const uint8_t*>(header->lpData);
        // The frame's first sample as a fraction of full scale.
        auto level = [&](DWORD frame) {
            const uint8_t* at = bytes + frame * format.nBlockAlign;
            EXPECT_EQ(std::memcmp(at, at + sampleBytes, sampleBytes), 0) << "both channels";
            if (sampleBytes == 1)
                return (at[0] - 128) / 128.0;
            uint32_t value = 0;
            for (unsigned i = 0; i < sampleBytes; ++i)
                value |= uint32_t{at[i]} << (8 * (i + 4 - sampleBytes));
            return static_cast<int32_t>(value) / 2147483648.0;
        };
        int crossings = 0;
        double peak = 0;
        for (DWORD frame = 0; frame < 2400; ++frame) {
            if (frame > 0 && (level(frame) >= 0) != (level(frame - 1) >= 0))
                ++crossings;
            peak = std::max(peak, std::abs(level(frame)));
        }
        EXPECT_NEAR(crossings, 264, 4) << "440 Hz: 880 sign changes a second";
        EXPECT_NEAR(peak, 0.25, 0.01);
        ASSERT_EQ(waveInReset(m_device), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInUnprepareHeader(m_device, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        Close();
        m_headers.clear();
        m_data.clear();
    }
}

} // namespace
