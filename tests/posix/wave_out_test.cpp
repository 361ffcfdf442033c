// SPDX-License-Identifier: MIT
// The POSIX wave-out: the devices that KALDRIX_AUDIO offers, the formats the
// virtual device plays, the header protocol with its Windows results, the
// clock the device plays by, what KALDRIX_VIRTUAL_OUT receives, and the test
// interface's faults and stuck headers.
#include "platform/platform.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/testing/WaveOutTestInterface.h"
#include "support/PlaybackSupport.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

using kxtest::Bytes;

// A format from a "fmt " body, with room for its extra bytes.
struct Format {
    explicit Format(const Bytes& body) : bytes(body) {
        bytes.resize(std::max<size_t>(bytes.size(), sizeof(WAVEFORMATEX)));
    }
    const WAVEFORMATEX* get() const { return reinterpret_cast<const WAVEFORMATEX*>(bytes.data()); }
    WAVEFORMATEX& head() { return *reinterpret_cast<WAVEFORMATEX*>(bytes.data()); }
    Bytes bytes;
};

Format Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
    return Format(kxtest::PcmFormat(channels, rate, bits));
}

HWAVEOUT Open(const Format& format) {
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, 0, format.get(), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    return device;
}

TEST(WaveOut, DevicesFollowKaldrixAudioAtEachCall) {
    {
        kxtest::ScopedEnv audio("KALDRIX_AUDIO", "virtual");
        EXPECT_EQ(waveOutGetNumDevs(), 1u);
        WAVEOUTCAPSA caps;
        std::memset(&caps, 'x', sizeof caps);
        ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
        EXPECT_STREQ(caps.szPname, "KALDRIX VIRTUAL OUT");
        EXPECT_EQ(waveOutGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
        // The device count is past the last index; a bad index wins over a bad format.
        HWAVEOUT device = nullptr;
        Format bad = Pcm(1, 8000, 12);
        EXPECT_EQ(waveOutOpen(&device, 1, bad.get(), 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
        EXPECT_EQ(waveOutOpen(&device, 0, bad.get(), 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    }
    kxtest::ScopedEnv audio("KALDRIX_AUDIO", "none");
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    WAVEOUTCAPSA caps;
    EXPECT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, 0, Pcm(1, 8000, 16).get(), 0, 0, CALLBACK_NULL),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
}

TEST(WaveOut, PlaysTheListedFormatsAndRefusesTheRest) {
    struct Case {
        const char* name;
        Format format;
        MMRESULT expected;
    };
    auto edit = [](Format format, void (*change)(WAVEFORMATEX&)) {
        change(format.head());
        return format;
    };
    const Case cases[] = {
        {"pcm 8-bit mono", Pcm(1, 8000, 8), MMSYSERR_NOERROR},
        {"pcm 16-bit stereo", Pcm(2, 44100, 16), MMSYSERR_NOERROR},
        {"pcm 24-bit 8 channels", Pcm(8, 96000, 24), MMSYSERR_NOERROR},
        {"pcm 32-bit", Pcm(2, 192000, 32), MMSYSERR_NOERROR},
        {"lowest rate", Pcm(1, 1000, 16), MMSYSERR_NOERROR},
        {"float 32-bit", Format(kxtest::FloatFormat(2, 48000)), MMSYSERR_NOERROR},
        {"extensible pcm", Format(kxtest::ExtensibleFormat(2, 48000, 24, 1)), MMSYSERR_NOERROR},
        {"extensible float", Format(kxtest::ExtensibleFormat(2, 48000, 32, 3)), MMSYSERR_NOERROR},
        {"pcm 12-bit", Pcm(1, 8000, 12), WAVERR_BADFORMAT},
        {"pcm 64-bit", Pcm(1, 8000, 64), WAVERR_BADFORMAT},
        {"no channel", Pcm(0, 8000, 16), WAVERR_BADFORMAT},
        {"9 channels", Pcm(9, 8000, 16), WAVERR_BADFORMAT},
        {"rate 999", Pcm(1, 999, 16), WAVERR_BADFORMAT},
        {"rate 192001", Pcm(1, 192001, 16), WAVERR_BADFORMAT},
        {"byte rate 0", edit(Pcm(1, 8000, 16), [](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 0; }),
         WAVERR_BADFORMAT},
        {"block align 0", edit(Pcm(1, 8000, 16), [](WAVEFORMATEX& f) { f.nBlockAlign = 0; }),
         WAVERR_BADFORMAT},
        {"float 16-bit",
         edit(Format(kxtest::FloatFormat(1, 8000)), [](WAVEFORMATEX& f) { f.wBitsPerSample = 16; }),
         WAVERR_BADFORMAT},
        {"adpcm", edit(Pcm(1, 8000, 4), [](WAVEFORMATEX& f) { f.wFormatTag = 2; }),
         WAVERR_BADFORMAT},
        {"extensible of another sub-format", Format(kxtest::ExtensibleFormat(2, 48000, 16, 2)),
         WAVERR_BADFORMAT},
        {"extensible without its extra bytes",
         edit(Format(kxtest::ExtensibleFormat(2, 48000, 16, 1)),
              [](WAVEFORMATEX& f) { f.cbSize = 21; }),
         WAVERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        HWAVEOUT device = nullptr;
        EXPECT_EQ(waveOutOpen(&device, 0, c.format.get(), 0, 0, CALLBACK_NULL), c.expected)
            << c.name;
        EXPECT_EQ(waveOutOpen(nullptr, 0, c.format.get(), 0, 0, WAVE_FORMAT_QUERY), c.expected)
            << c.name;
        if (c.expected == MMSYSERR_NOERROR) {
            EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR) << c.name;
        }
    }
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
}

TEST(WaveOut, HeaderProtocolGivesTheWindowsResults) {
    HWAVEOUT device = Open(Pcm(1, 8000, 16));
    Bytes data = kxtest::Pattern(1600); // 100 ms
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = 1600;
    EXPECT_EQ(waveOutWrite(device, &header, sizeof header), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(device, &header, sizeof header - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED);
    EXPECT_EQ(kxtest::PreparedWaveOutHeaders(), 1);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING) << "a queued header keeps it open";
    kxtest::WaitReturned(device, header);
    EXPECT_EQ(header.dwFlags, WHDR_DONE);
    EXPECT_EQ(kxtest::PreparedWaveOutHeaders(), 0);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR)
        << "an unprepared header is no error";
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 0);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_INVALHANDLE) << "closed";
    EXPECT_EQ(waveOutWrite(nullptr, &header, sizeof header), MMSYSERR_INVALHANDLE);
}

// CALLBACK_EVENT: the event is set at the open, once a header is done (with
// the header's flags already saying so), and at the close, as winmm does; a
// device whose owner closed the event's handle first still signals safely.
TEST(WaveOut, EventIsSignalledAtTheOpenWhenAHeaderIsDoneAndAtTheClose) {
    const Format format = Pcm(1, 8000, 16);
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, 0, format.get(), 0, 0, CALLBACK_EVENT), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(&device, 0, format.get(), 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALFLAG);
    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(waveOutOpen(&device, 0, format.get(), reinterpret_cast<DWORD_PTR>(event), 0,
                          CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "at the open";
    Bytes data = kxtest::Pattern(1600); // 100 ms
    WAVEHDR header;
    kxtest::QueueHeader(device, header, data);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "while it plays";
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "at the close";
    ASSERT_EQ(waveOutOpen(&device, 0, format.get(), reinterpret_cast<DWORD_PTR>(event), 0,
                          CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    CloseHandle(event);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST(WaveOut, EveryOperationFailsWhenAsked) {
    HWAVEOUT device = Open(Pcm(1, 8000, 16));
    Bytes data(160);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = 160;
    WAVEOUTCAPSA caps;
    HWAVEOUT other = nullptr;
    const Format format = Pcm(1, 8000, 16);
    struct Case {
        const char* operation;
        std::function<MMRESULT()> call;
    };
    const Case cases[] = {
        {"waveOutGetNumDevs", [] { return waveOutGetNumDevs() == 0 ? 7u : 0u; }},
        {"waveOutGetDevCapsA", [&] { return waveOutGetDevCapsA(0, &caps, sizeof caps); }},
        {"waveOutOpen", [&] { return waveOutOpen(&other, 0, format.get(), 0, 0, CALLBACK_NULL); }},
        {"waveOutPrepareHeader",
         [&] { return waveOutPrepareHeader(device, &header, sizeof header); }},
        {"waveOutWrite", [&] { return waveOutWrite(device, &header, sizeof header); }},
        {"waveOutReset", [&] { return waveOutReset(device); }},
        {"waveOutUnprepareHeader",
         [&] { return waveOutUnprepareHeader(device, &header, sizeof header); }},
        {"waveOutClose", [&] { return waveOutClose(device); }},
    };
    for (const Case& c : cases) {
        kxtest::FailOperation(c.operation, MMSYSERR_NOMEM);
        EXPECT_EQ(c.call(), MMSYSERR_NOMEM) << c.operation;
        EXPECT_EQ(c.call(), MMSYSERR_NOERROR) << c.operation << " once only";
    }
    EXPECT_EQ(kxtest::OpenWaveOutHandles(), 1) << "the second open's";
    EXPECT_EQ(waveOutClose(other), MMSYSERR_NOERROR);
}

TEST(WaveOut, StuckHeaderOutlivesResetsUntilReleased) {
    kxtest::TempDir dir;
    kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    HWAVEOUT device = Open(Pcm(1, 8000, 16));
    Bytes data = kxtest::Pattern(16);
    WAVEHDR header;
    kxtest::HoldWaveOutHeaders();
    kxtest::QueueHeader(device, header, data);
    Sleep(20);
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), WAVERR_STILLPLAYING);
    }
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    kxtest::ReleaseWaveOutHeaders();
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_TRUE(kxtest::ReadFile(dir.File("played.raw")).empty()) << "a stuck device plays nothing";
}

TEST(WaveOutRealTime, HeadersFinishInOrderWhenTheirTimeHasPassed) {
    kxtest::TempDir dir;
    kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    HWAVEOUT device = Open(Pcm(1, 8000, 16)); // 16 bytes a millisecond
    Bytes data[8];
    WAVEHDR headers[8];
    const DWORD start = GetTickCount();
    for (int i = 0; i < 8; ++i) {
        data[i] = kxtest::Pattern(800, i + 1); // 50 ms each
        kxtest::QueueHeader(device, headers[i], data[i]);
    }
    // In order: once the fourth is back, the three before it are done too.
    kxtest::WaitReturned(device, headers[3]);
    for (int earlier = 0; earlier < 3; ++earlier)
        EXPECT_EQ(headers[earlier].dwFlags, WHDR_PREPARED | WHDR_DONE) << "header " << earlier;
    for (int i = 3; i < 8; ++i) {
        kxtest::WaitReturned(device, headers[i]);
        // Never before its time, counted from the first write.
        EXPECT_GE(GetTickCount() - start + 2, DWORD(50 * (i + 1))) << "header " << i;
    }
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    Bytes expected;
    for (const Bytes& part : data)
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(kxtest::ReadFile(dir.File("played.raw")), expected);
}

TEST(WaveOutRealTime, ResetKeepsExactlyWhatWasPlayedAndThePathIsReadAtEachOpen) {
    kxtest::TempDir dir;
    Bytes first = kxtest::Pattern(16000, 1); // 1 s of 16-bit mono 8000 Hz
    Bytes second = kxtest::Pattern(800, 2);
    WAVEHDR header;
    {
        kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("a.raw"));
        HWAVEOUT device = Open(Pcm(1, 8000, 16));
        kxtest::QueueHeader(device, header, first);
        Sleep(200);
        EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE) << "returned at once";
        const Bytes played = kxtest::ReadFile(dir.File("a.raw"));
        EXPECT_GE(played.size(), 3200u) << "at least the 200 ms slept";
        EXPECT_LT(played.size(), first.size());
        EXPECT_EQ(played.size() % 2, 0u) << "whole frames";
        EXPECT_TRUE(std::equal(played.begin(), played.end(), first.begin())) << "a prefix";
        // After a reset the device starts again from the next header.
        kxtest::QueueHeader(device, header, second);
        kxtest::WaitReturned(device, header);
        Bytes expected = played;
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(kxtest::ReadFile(dir.File("a.raw")), expected);
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
    kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("b.raw"));
    HWAVEOUT device = Open(Pcm(2, 44100, 16));
    kxtest::QueueHeader(device, header, second);
    kxtest::WaitReturned(device, header);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(kxtest::ReadFile(dir.File("b.raw")), second);
}

// A frame split between two headers goes out whole; the split tail of the
// last header waits for the next one while the device has sound left, and is
// padded with silence (once) when it would run dry, the next header then
// beginning a frame of its own. Every header is done only once all of its
// bytes have been played: the output holds them when the owner sees it done.
TEST(WaveOutRealTime, SplitFramesWaitForTheNextHeaderAndArePaddedOnlyWhenTheDeviceRunsDry) {
    struct Case {
        const char* name;
        size_t first, second;
        int secondAfterMs; // -1: once the first is done
        size_t padding;    // silent bytes between the two
    } const cases[] = {
        {"the next header completes the frame", 1601, 999, 0, 0},
        {"written while the first still plays", 8001, 999, 200, 0},
        {"the last header runs dry and is padded", 1601, 1000, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kxtest::TempDir dir;
        kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
        HWAVEOUT device = Open(Pcm(1, 8000, 16));
        Bytes first = kxtest::Pattern(c.first, 1), second = kxtest::Pattern(c.second, 2);
        WAVEHDR headers[2];
        kxtest::QueueHeader(device, headers[0], first);
        if (c.secondAfterMs < 0) {
            kxtest::WaitReturned(device, headers[0]);
            EXPECT_EQ(kxtest::ReadFile(dir.File("played.raw")).size(), c.first + c.padding)
                << "done before it was played";
        } else {
            Sleep(static_cast<DWORD>(c.secondAfterMs));
        }
        kxtest::QueueHeader(device, headers[1], second);
        kxtest::WaitReturned(device, headers[1]);
        Bytes expected = first;
        expected.insert(expected.end(), c.padding, 0);
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(kxtest::ReadFile(dir.File("played.raw")), expected);
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
}

} // namespace
