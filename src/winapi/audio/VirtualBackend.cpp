// SPDX-License-Identifier: MIT
// The virtual devices, "KALDRIX VIRTUAL OUT" and "KALDRIX VIRTUAL IN": sound
// cards without hardware on the real clock, whole frames at the format's byte
// rate counted from a fixed start so that rounding never adds up to drift.
// KALDRIX_VIRTUAL_SPEED (read at the open; 1 when unset or not a number from
// 1 on) runs the clock that many times faster, for long runs in tests. The
// output appends every byte it plays to the file KALDRIX_VIRTUAL_OUT names at
// the open; the input records the raw bytes of the file KALDRIX_VIRTUAL_IN
// names at the open, from the first on and without dropping any, then
// silence, or without it a 440 Hz tone. They have no descriptor to sleep on:
// the stream sleeps until MillisecondsUntil says.
#include "winapi/audio/Backend.h"
#include "winapi/kernel/Descriptors.h"
#include "winapi/testing/WaveOutTestInterface.h"
#include "winapi/WindowsApi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kMicrosPerSecond = 1000000;
constexpr double kToneHz = 440.0;
constexpr double kPi = 3.14159265358979323846;
// The output's buffer: two seconds of the virtual clock, in quarters, and
// never more than 1 MiB (170 ms of 192 kHz in 8 channels of 32 bits).
constexpr uint64_t kBufferSeconds = 2;
constexpr uint64_t kMaxBufferBytes = uint64_t(1) << 20;
constexpr unsigned kPeriodsPerBuffer = 4;
// While another stream plays through the one output, or the output is
// stalled, look again this often.
constexpr int kSpeakerBusyMs = 20;
constexpr int kStalledLookMs = 20;

uint64_t SpeedFromEnvironment() {
    const char* value = std::getenv("KALDRIX_VIRTUAL_SPEED");
    if (!value || !*value)
        return 1;
    char* end = nullptr;
    const unsigned long long speed = std::strtoull(value, &end, 10);
    return *end == '\0' && speed >= 1 && speed <= 1000000 ? speed : 1;
}

// The one output the streams of the virtual device play through, one at a
// time, like a card without a mixer: a stream with sound to play waits while
// another one plays (a stream whose reset failed plays out what it holds
// first), so that what the output played is each stream's bytes in turn.
std::atomic<const void*> g_speaker{nullptr};

// Set by the test interface: the outputs' clocks stand still.
std::atomic<bool> g_stalled{false};

// Frames due on the virtual clock since it last started.
class VirtualClock {
public:
    VirtualClock(uint64_t rate)
        : m_rate(std::max<uint64_t>(rate, 1)), m_speed(SpeedFromEnvironment()) {}

    void Restart() { m_start = Clock::now(); }

    uint64_t DueFrames() const {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_start).count();
        return elapsed <= 0 ? 0
                            : static_cast<uint64_t>(elapsed) * m_speed * m_rate / kMicrosPerSecond;
    }

    // Milliseconds from now until DueFrames() reaches `frames`.
    int MillisecondsUntil(uint64_t frames) const {
        const uint64_t micros =
            ((frames * kMicrosPerSecond + m_rate - 1) / m_rate + m_speed - 1) / m_speed;
        const auto due = m_start + std::chrono::microseconds(micros);
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now());
        return left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
    }

private:
    const uint64_t m_rate;
    const uint64_t m_speed;
    Clock::time_point m_start = Clock::now();
};

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// The frames of the output's buffer for a format the check took (a frame is
// at most 32 bytes), a period at least a frame.
uint64_t BufferFramesFor(const WAVEFORMATEX& format) {
    return std::max<uint64_t>(std::min<uint64_t>(uint64_t(format.nSamplesPerSec) * kBufferSeconds,
                                                 kMaxBufferBytes / format.nBlockAlign),
                              kPeriodsPerBuffer);
}

// The output: a ring of up to two seconds that the clock plays from once
// data flows into it; what it plays goes to the file, what a drop takes never
// does.
class VirtualOutput final : public Backend {
public:
    VirtualOutput(const WAVEFORMATEX& format, int dump)
        : m_frameBytes(format.nBlockAlign), m_clock(format.nSamplesPerSec), m_dump(dump),
          m_ring(BufferFramesFor(format) * m_frameBytes) {}

    ~VirtualOutput() override {
        ReleaseSpeaker();
        if (m_dump >= 0)
            ::close(m_dump);
    }

    void Start() override {}

    long Transfer(char* data, unsigned long frames) override {
        Advance();
        if (m_played == m_written && !TakeSpeaker())
            return 0;
        const uint64_t room = BufferFrames() - (m_written - m_played);
        const uint64_t take = std::min<uint64_t>(frames, room);
        for (uint64_t done = 0; done < take;) {
            const uint64_t at = (m_written + done) % BufferFrames();
            const uint64_t run = std::min(take - done, BufferFrames() - at);
            std::memcpy(m_ring.data() + at * m_frameBytes, data + done * m_frameBytes,
                        run * m_frameBytes);
            done += run;
        }
        m_written += take;
        return static_cast<long>(take);
    }

    long Pending() override {
        Advance();
        return static_cast<long>(m_written - m_played);
    }

    void Drop() override {
        Advance();
        m_written = m_played;
        ReleaseSpeaker();
    }

    int MillisecondsUntil(unsigned long frames) override {
        Advance();
        if (m_stalled)
            return kStalledLookMs;
        if (m_played == m_written)
            return g_speaker.load() && g_speaker.load() != this ? kSpeakerBusyMs : 0;
        if (m_written - m_played <= frames)
            return 0;
        return m_clock.MillisecondsUntil(m_written - frames - m_clockBase);
    }

    int Descriptors(pollfd*, int) override { return 0; }
    void Woken(pollfd*, int) override {}
    unsigned long BufferFrames() const override { return m_ring.size() / m_frameBytes; }
    unsigned long PeriodFrames() const override { return BufferFrames() / kPeriodsPerBuffer; }
    const char* ThreadName() const override { return "kx-out-virtual"; }

private:
    // The clock starts when data flows into an idle output.
    bool TakeSpeaker() {
        const void* free = nullptr;
        if (!g_speaker.compare_exchange_strong(free, this) && free != this)
            return false;
        m_clock.Restart();
        m_clockBase = m_played;
        return true;
    }

    void ReleaseSpeaker() {
        const void* self = this;
        g_speaker.compare_exchange_strong(self, nullptr);
    }

    // Plays what the clock has reached: to the file, in ring order. A stalled
    // output plays nothing, and its clock goes on from where it stood.
    void Advance() {
        if (g_stalled.load() != m_stalled) {
            m_stalled = !m_stalled;
            m_clock.Restart();
            m_clockBase = m_played;
        }
        if (m_played == m_written || m_stalled)
            return;
        const uint64_t position = std::min(m_clockBase + m_clock.DueFrames(), m_written);
        while (m_played < position) {
            const uint64_t at = m_played % BufferFrames();
            const uint64_t run = std::min(position - m_played, BufferFrames() - at);
            if (m_dump >= 0)
                WriteAll(m_dump, m_ring.data() + at * m_frameBytes, run * m_frameBytes);
            m_played += run;
        }
        if (m_played == m_written)
            ReleaseSpeaker();
    }

    const unsigned m_frameBytes;
    VirtualClock m_clock;
    const int m_dump;
    std::vector<char> m_ring;
    uint64_t m_written = 0;   // frames written since the open
    uint64_t m_played = 0;    // of those, the frames played
    uint64_t m_clockBase = 0; // frames played when the clock last started
    bool m_stalled = false;
};

// The input: frames come due on the clock from Start on; the source keeps
// its place across a stop.
class VirtualInput final : public Backend {
public:
    // `fromFile` with `source` -1: a file that could not be opened, silence.
    VirtualInput(const WAVEFORMATEX& format, bool fromFile, int source)
        : m_format(format), m_clock(format.nSamplesPerSec), m_source(source), m_fromFile(fromFile) {
    }

    ~VirtualInput() override {
        if (m_source >= 0)
            ::close(m_source);
    }

    void Start() override {
        m_running = true;
        m_clock.Restart();
        m_read = 0;
    }

    long Transfer(char* data, unsigned long frames) override {
        const unsigned long take =
            std::min<unsigned long>(frames, static_cast<unsigned long>(Pending()));
        const size_t bytes = static_cast<size_t>(take) * m_format.nBlockAlign;
        if (m_fromFile)
            ReadSource(data, bytes);
        else
            Tone(data, take);
        m_read += take;
        return static_cast<long>(take);
    }

    long Pending() override {
        return m_running ? static_cast<long>(m_clock.DueFrames() - m_read) : 0;
    }

    void Drop() override { m_running = false; }

    int MillisecondsUntil(unsigned long frames) override {
        return m_running ? m_clock.MillisecondsUntil(m_read + frames) : -1;
    }

    int Descriptors(pollfd*, int) override { return 0; }
    void Woken(pollfd*, int) override {}
    unsigned long BufferFrames() const override { return 0; }
    unsigned long PeriodFrames() const override { return 0; }
    const char* ThreadName() const override { return "kx-in-virtual"; }

private:
    void ReadSource(char* data, size_t bytes) {
        size_t done = 0;
        while (done < bytes && m_source >= 0) {
            const ssize_t got = ::read(m_source, data + done, bytes - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(m_source);
                m_source = -1;
                break;
            }
            done += static_cast<size_t>(got);
        }
        std::memset(data + done, m_format.wBitsPerSample == 8 ? 0x80 : 0, bytes - done);
    }

    // A quarter of full scale in every channel: unsigned 8-bit samples,
    // signed little-endian ones of 16, 24 or 32 bits.
    void Tone(char* data, unsigned long frames) {
        const unsigned sampleBytes = m_format.wBitsPerSample / 8u;
        char* next = data;
        for (unsigned long i = 0; i < frames; ++i, ++m_toneFrame) {
            const double level = std::sin(2.0 * kPi * kToneHz * static_cast<double>(m_toneFrame) /
                                          static_cast<double>(m_format.nSamplesPerSec));
            const auto quarter = static_cast<uint32_t>(
                std::lround(level * static_cast<double>(uint64_t(1) << (8 * sampleBytes - 3))));
            const uint32_t sample = sampleBytes == 1 ? quarter + 0x80 : quarter;
            for (WORD channel = 0; channel < m_format.nChannels; ++channel) {
                for (unsigned byte = 0; byte < sampleBytes; ++byte)
                    *next++ = static_cast<char>(sample >> (8 * byte));
            }
        }
    }

    const WAVEFORMATEX m_format;
    VirtualClock m_clock;
    int m_source; // -1 once the file has ended (or could not be opened)
    const bool m_fromFile;
    bool m_running = false;
    uint64_t m_read = 0; // frames read since the start
    uint64_t m_toneFrame = 0;
};

std::vector<DeviceName> Devices(Direction direction) {
    return {direction == Direction::Playback ? DeviceName{"out", "KALDRIX VIRTUAL OUT"}
                                             : DeviceName{"in", "KALDRIX VIRTUAL IN"}};
}

// Input: what the output plays, but PCM only (plain or extensible, every
// bit of the container valid) and with the byte rate right.
MMRESULT CheckFormat(Direction direction, const WAVEFORMATEX& format) {
    if (CheckPlayableFormat(format) != MMSYSERR_NOERROR)
        return WAVERR_BADFORMAT;
    if (direction == Direction::Playback)
        return MMSYSERR_NOERROR;
    SampleLayout samples;
    const bool recordable = DescribeSamples(format, &samples) && samples.tag == WAVE_FORMAT_PCM &&
                            samples.validBits == samples.bits &&
                            format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign;
    return recordable ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

MMRESULT Open(Direction direction, const std::string&, const WAVEFORMATEX& format,
              std::unique_ptr<Backend>* opened) {
    if (direction == Direction::Capture) {
        const char* path = std::getenv("KALDRIX_VIRTUAL_IN");
        opened->reset(
            new VirtualInput(format, path != nullptr,
                             path ? AboveStandardStreams(::open(path, O_RDONLY | O_CLOEXEC)) : -1));
        return MMSYSERR_NOERROR;
    }
    int dump = -1;
    const char* path = std::getenv("KALDRIX_VIRTUAL_OUT");
    if (path && *path) {
        dump = AboveStandardStreams(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (dump < 0)
            return MMSYSERR_ERROR;
    }
    opened->reset(new VirtualOutput(format, dump));
    return MMSYSERR_NOERROR;
}

} // namespace

const BackendKind kVirtualBackend{"virtual", Devices, CheckFormat, Open};

namespace kxtest {

void StallVirtualOutput() { g_stalled.store(true); }

void ResumeVirtualOutput() { g_stalled.store(false); }

} // namespace kxtest
