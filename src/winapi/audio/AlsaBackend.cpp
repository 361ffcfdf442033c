// SPDX-License-Identifier: MIT
// The ALSA backend: one PCM per stream, non-blocking and interleaved, for
// exactly the wave format asked for (nothing is converted here).
#include "winapi/audio/AlsaBackend.h"
#include "winapi/WindowsApi.h"
#include "winapi/kernel/ThreadState.h"
#include "winapi/kernel/Immortal.h"
#include "winapi/testing/AlsaTestInterface.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>
#include <poll.h>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

std::atomic<int> g_openPcms{0};
std::atomic<int> g_triedOpens{0};
std::atomic<int> g_streams{0};
std::atomic<int> g_recovered{0};
std::atomic<int> g_captureStallMs{0};
std::atomic<int> g_injectedError{0};
std::atomic<bool> g_failHelperStart{false};

// ALSA reports missing cards and the like on stderr; the library reports
// through its results instead. The handler is the calling thread's own, for
// the length of one call, so a host's own use of ALSA keeps its messages.
void QuietError(const char*, int, const char*, int, const char*, va_list) {}

class QuietAlsa {
public:
    QuietAlsa() : m_previous(snd_lib_error_set_local(QuietError)) {}
    ~QuietAlsa() { snd_lib_error_set_local(m_previous); }
    QuietAlsa(const QuietAlsa&) = delete;
    QuietAlsa& operator=(const QuietAlsa&) = delete;

private:
    const snd_local_error_handler_t m_previous;
};

// snd_pcm_open and snd_pcm_close wait on a plugin's server without a
// time-out of their own (the pulse plugin, with its server stopped). They run
// on a helper thread that the caller waits for kDeviceCallLimit at most, so a
// start or a stop always answers. A helper that runs over is left behind and
// closes what its call holds once the call returns. While one is out no
// other helper starts, so that a frozen server never gathers a helper per
// call: a call asked for meanwhile answers as one that did not return, and
// the close it owes (of a PCM it was to close, or that its stream gives up)
// is queued for the helper that is out, which runs the queue when it
// returns. Helpers are joined, a late one by the next call after it
// returned. The library stays loaded once loaded, so no helper holds it.
constexpr auto kDeviceCallLimit = std::chrono::seconds(2);

// A configured PCM's buffer and period, in frames.
struct PcmGeometry {
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
};
using Configure = std::function<int(snd_pcm_t* pcm, PcmGeometry* geometry)>;

struct DeviceCall {
    std::mutex mutex;
    std::condition_variable returned;
    bool finished = false;
    bool abandoned = false;
    snd_pcm_t* pcm = nullptr;
    int result = 0;
    PcmGeometry geometry; // what an open configured
};

// The helpers given up on and the closes queued for them. Never destroyed:
// a helper may still run when the process exits.
struct LateHelpers {
    struct Helper {
        std::thread thread;
        bool done = false; // returned and ran the queue: ready to join
    };
    std::mutex mutex;
    int out = 0; // helpers given up on that have not returned
    std::vector<snd_pcm_t*> queuedCloses;
    std::vector<std::shared_ptr<Helper>> helpers;
};

LateHelpers& Late() {
    static auto* helpers = MakeImmortal<LateHelpers>();
    return *helpers;
}

// Run by a late helper once its own call returned: the closes queued
// meanwhile, including those queued while it closes.
void RunQueuedCloses(LateHelpers& late, LateHelpers::Helper& self) {
    std::unique_lock<std::mutex> lock(late.mutex);
    while (!late.queuedCloses.empty()) {
        snd_pcm_t* const pcm = late.queuedCloses.back();
        late.queuedCloses.pop_back();
        lock.unlock();
        {
            QuietAlsa quiet;
            snd_pcm_close(pcm);
        }
        lock.lock();
    }
    --late.out;
    self.done = true;
}

// Joins the late helpers that are done; none is left running that way.
void JoinReturnedHelpers(LateHelpers& late) {
    std::vector<std::shared_ptr<LateHelpers::Helper>> done;
    {
        std::lock_guard<std::mutex> lock(late.mutex);
        auto& helpers = late.helpers;
        const auto firstDone = std::stable_partition(
            helpers.begin(), helpers.end(), [](const auto& helper) { return !helper->done; });
        done.assign(firstDone, helpers.end());
        helpers.erase(firstDone, helpers.end());
    }
    for (const auto& helper : done)
        helper->thread.join();
}

// Runs call(*state) on a helper; true when it returned in time (the caller
// then reads *state). Given up on, the helper runs late(*state) when it
// returns, then the queue. While a helper is out nothing runs: `owedClose`
// (a PCM the call would leave unclosed) is queued for it. A helper that
// cannot be started (no thread to be had) answers as one that did not
// return, and nothing runs: the call, made on a stream's thread, must not
// throw.
template <typename Call, typename LateCall>
bool CallBounded(const std::shared_ptr<DeviceCall>& state, Call call, LateCall late,
                 snd_pcm_t* owedClose = nullptr) {
    LateHelpers& helpers = Late();
    JoinReturnedHelpers(helpers);
    {
        std::lock_guard<std::mutex> lock(helpers.mutex);
        if (helpers.out > 0) {
            if (owedClose)
                helpers.queuedCloses.push_back(owedClose);
            return false;
        }
    }
    const auto self = std::make_shared<LateHelpers::Helper>();
    try {
        if (g_failHelperStart.exchange(false))
            throw std::system_error(EAGAIN, std::generic_category());
        self->thread = std::thread([state, call, late, self, &helpers] {
            NameCurrentThread("kx-alsa-call");
            call(*state);
            std::unique_lock<std::mutex> lock(state->mutex);
            state->finished = true;
            state->returned.notify_all();
            if (!state->abandoned)
                return;
            lock.unlock();
            late(*state);
            RunQueuedCloses(helpers, *self);
        });
    } catch (const std::system_error&) {
        return false;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->returned.wait_for(lock, kDeviceCallLimit, [&] { return state->finished; })) {
        lock.unlock();
        self->thread.join();
        return true;
    }
    // Counted out before the helper can see that it was given up on.
    state->abandoned = true;
    std::lock_guard<std::mutex> counted(helpers.mutex);
    ++helpers.out;
    helpers.helpers.push_back(self);
    return false;
}

// snd_pcm_open, non-blocking, then `configure` when it opened (snd_pcm_hw_params
// waits for the server too): 0 or the error, a failed configuration closing
// the PCM; -ETIMEDOUT when the helper did not return in time.
int OpenPcm(const std::string& name, snd_pcm_stream_t stream, snd_pcm_t** pcm,
            const Configure& configure = {}, PcmGeometry* geometry = nullptr) {
    g_triedOpens.fetch_add(1);
    const auto call = std::make_shared<DeviceCall>();
    const bool inTime = CallBounded(
        call,
        [name, stream, configure](DeviceCall& state) {
            QuietAlsa quiet;
            state.result = snd_pcm_open(&state.pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
            if (state.result == 0 && configure &&
                (state.result = configure(state.pcm, &state.geometry)) < 0)
                snd_pcm_close(state.pcm);
        },
        [](DeviceCall& state) {
            QuietAlsa quiet;
            if (state.result == 0)
                snd_pcm_close(state.pcm);
        });
    *pcm = inTime && call->result == 0 ? call->pcm : nullptr;
    if (inTime && geometry)
        *geometry = call->geometry;
    return inTime ? call->result : -ETIMEDOUT;
}

void ClosePcm(snd_pcm_t* pcm) {
    CallBounded(
        std::make_shared<DeviceCall>(),
        [pcm](DeviceCall&) {
            QuietAlsa quiet;
            snd_pcm_close(pcm);
        },
        [](DeviceCall&) {}, pcm);
}

// The geometry is chosen for files, not for latency: the Windows rules need
// no early answer from the device (a reset drops at once, a played header is
// done once heard, a recorded one comes back once full), so each period is
// as long as the host's buffers make useful, and the stream's thread and the
// plugin's thread wake about once a period.
// - Playback: the player queues two blocks of 16 KiB, so a period is one
//   block's worth of the format's bytes (1 s at 8 kHz mono): a longer one
//   gains nothing, as no more is ever queued. Where a block plays for less
//   than aplay's 125 ms period, its 125 ms in 500 ms are kept (48 kHz
//   stereo): the blocks then set the pace, and shorter periods would only
//   add wake-ups.
// - Capture: the recorder's ten headers hold 600 ms in any format, so a
//   period is 512 ms of frames (8 KiB at 8 kHz mono), read in one wake-up
//   that fills about eight headers; the buffer keeps 2 s at least, so that a
//   reader held up by a busy machine loses nothing. Behind the pulse plugin
//   the period is also the fragment the server is asked to send at a time.
// A buffer is at least three periods, the fewest the pulse plugin takes.
// Periods stay within 125 ms and 1 s, and no buffer sized from a format (the
// PCM's, the staging of a period, the copy of a starting write) grows past
// kMaxBufferBytes, whatever the byte rate.
constexpr unsigned long kPlaybackPeriodBytes = 16384;
constexpr unsigned long kCapturePeriodMs = 512;
constexpr unsigned long kPeriodsPerBuffer = 3;
constexpr unsigned long kMinPeriodMs = 125;
constexpr unsigned long kMinPlaybackBufferMs = 500;
constexpr unsigned long kMaxPeriodMs = 1000;
constexpr unsigned long kMinCaptureBufferMs = 2000;
constexpr unsigned long kMaxBufferBytes = 2 << 20;

struct FileGeometry {
    snd_pcm_uframes_t period;
    snd_pcm_uframes_t buffer;
};

// At most kMaxBufferBytes in frames of the format.
snd_pcm_uframes_t MaxBufferFrames(const WAVEFORMATEX& format) {
    return std::max<snd_pcm_uframes_t>(kMaxBufferBytes / std::max<WORD>(format.nBlockAlign, 1),
                                       kPeriodsPerBuffer);
}

FileGeometry GeometryFor(Direction direction, const WAVEFORMATEX& format) {
    const unsigned long rate = format.nSamplesPerSec;
    const unsigned long frameBytes = std::max<WORD>(format.nBlockAlign, 1);
    const snd_pcm_uframes_t maxFrames = MaxBufferFrames(format);
    const unsigned long wanted = direction == Direction::Playback
                                     ? kPlaybackPeriodBytes / frameBytes
                                     : rate * kCapturePeriodMs / 1000;
    snd_pcm_uframes_t period =
        std::clamp(wanted, rate * kMinPeriodMs / 1000, rate * kMaxPeriodMs / 1000);
    period = std::clamp<snd_pcm_uframes_t>(period, 1, maxFrames / kPeriodsPerBuffer);
    const unsigned long minBufferMs =
        direction == Direction::Playback ? kMinPlaybackBufferMs : kMinCaptureBufferMs;
    const snd_pcm_uframes_t buffer = std::min<snd_pcm_uframes_t>(
        std::max<snd_pcm_uframes_t>(kPeriodsPerBuffer * period, rate * minBufferMs / 1000),
        maxFrames);
    return {period, buffer};
}

// What a configuration answers for a format the PCM refuses: an error
// snd_pcm_open never gives.
constexpr int kRefusedFormat = -EDOM;
// Slack on the rate for a device whose clock runs a little fast.
constexpr double kFastClock = 1.01;

const char* PcmNameFor(Direction direction) {
    const char* configured = std::getenv(direction == Direction::Playback ? "KALDRIX_ALSA_PLAYBACK"
                                                                          : "KALDRIX_ALSA_CAPTURE");
    return configured && *configured ? configured : "default";
}

snd_pcm_stream_t StreamOf(Direction direction) {
    return direction == Direction::Playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
}

// At most MAXPNAMELEN - 1 bytes, never cutting a UTF-8 character in two.
std::string FitProductName(std::string name) {
    if (name.size() < MAXPNAMELEN)
        return name;
    size_t end = MAXPNAMELEN - 1;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    name.resize(end);
    return name;
}

// One device a direction: the configured PCM, named without opening it or
// asking ALSA for its name hints. Behind an audio server each open of a PCM,
// and each hint listing (it opens the default control), costs a connection
// to the server, and a start asks for the list three times: so it costs one
// connection, its own open, and that open answers whether the device is
// there. Another PCM is chosen with KALDRIX_ALSA_PLAYBACK and
// KALDRIX_ALSA_CAPTURE (`kaldrix devices` lists ALSA's names for them).
std::vector<DeviceName> ListDevices(Direction direction) {
    const std::string configured = PcmNameFor(direction);
    return {
        {configured, configured == "default" ? "ALSA default device" : FitProductName(configured)}};
}

snd_pcm_format_t PcmFormat(WORD bits, WORD validBits) {
    if (bits == 8 && validBits == 8)
        return SND_PCM_FORMAT_U8;
    if (bits == 16 && validBits == 16)
        return SND_PCM_FORMAT_S16_LE;
    if (bits == 24 && validBits == 24)
        return SND_PCM_FORMAT_S24_3LE;
    if (bits == 32 && validBits == 24)
        return SND_PCM_FORMAT_S24_LE;
    if (bits == 32 && validBits == 32)
        return SND_PCM_FORMAT_S32_LE;
    return SND_PCM_FORMAT_UNKNOWN;
}

MMRESULT CheckFormat(Direction direction, const WAVEFORMATEX& format) {
    if (direction == Direction::Playback && CheckPlayableFormat(format) != MMSYSERR_NOERROR)
        return WAVERR_BADFORMAT;
    const bool takes = AlsaFormatOf(format) != SND_PCM_FORMAT_UNKNOWN &&
                       format.nSamplesPerSec >= 1000 && format.nSamplesPerSec <= 192000 &&
                       (direction == Direction::Playback ||
                        format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign);
    return takes ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

class AlsaBackend final : public Backend {
public:
    AlsaBackend(snd_pcm_t* pcm, Direction direction, const WAVEFORMATEX& format,
                unsigned long bufferFrames, unsigned long periodFrames)
        : m_pcm(pcm), m_direction(direction), m_rate(format.nSamplesPerSec),
          m_frameBytes(format.nBlockAlign), m_bufferFrames(bufferFrames),
          m_periodFrames(periodFrames),
          m_staging(direction == Direction::Capture ? periodFrames * format.nBlockAlign : 0) {
        g_openPcms.fetch_add(1);
        g_streams.fetch_add(1);
    }

    ~AlsaBackend() override {
        if (!m_stuck)
            ClosePcm(m_pcm);
        g_openPcms.fetch_sub(1);
        g_streams.fetch_sub(1);
    }

    // Starting waits for the server, so it is bounded here. A capture never
    // starts by itself (its start threshold is past any count); a playback
    // starts with its first write (see StartingWrite).
    void Start() override {
        if (m_stuck)
            return;
        QuietAlsa quiet;
        if (Ready() && snd_pcm_state(m_pcm) == SND_PCM_STATE_PREPARED)
            Bounded([](snd_pcm_t* pcm) { return snd_pcm_start(pcm); });
    }

    long Transfer(char* data, unsigned long frames) override {
        if (m_stuck)
            return -ENODEV;
        QuietAlsa quiet;
        if (!Ready())
            return -ENODEV;
        if (m_direction == Direction::Playback)
            return Move(data, frames);
        if (const int stall = g_captureStallMs.exchange(0))
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));
        return Capture(data, frames);
    }

    // Written frames are heard once the PCM's delay no longer covers them, but
    // not faster than the rate since the flow began: just after a restart the
    // pulse plugin reports a delay of 0 for a moment. After an under-run all
    // that was written has been heard, whatever the delay still says.
    long Pending() override {
        if (m_stuck)
            return 0;
        QuietAlsa quiet;
        if (m_direction == Direction::Capture) {
            // A dropped PCM holds nothing, whatever it still counts.
            const snd_pcm_sframes_t available =
                snd_pcm_state(m_pcm) == SND_PCM_STATE_SETUP ? 0 : snd_pcm_avail_update(m_pcm);
            return StagedFrames() + (available > 0 ? available : 0);
        }
        if (m_flowFrames == 0)
            return 0;
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_state(m_pcm) == SND_PCM_STATE_XRUN || snd_pcm_delay(m_pcm, &delay) < 0)
            delay = 0;
        const std::chrono::duration<double> flowing =
            std::chrono::steady_clock::now() - m_flowStart;
        const auto possible = static_cast<long long>(flowing.count() * m_rate * kFastClock);
        const long long unheard = std::max<long long>(delay, m_flowFrames - possible);
        const long pending = static_cast<long>(std::clamp<long long>(unheard, 0, m_flowFrames));
        if (pending == 0)
            m_flowFrames = 0;
        return pending;
    }

    // A PCM that holds nothing (prepared, nothing written, not started) is
    // left as it is. A dropped one is prepared again only when it is next
    // used: behind the pulse plugin a prepare sets up the server's stream
    // anew, which a reset before a start or before a close has no use for.
    void Drop() override {
        const bool holdsNothing =
            m_flowFrames == 0 && !m_stuck && snd_pcm_state(m_pcm) == SND_PCM_STATE_PREPARED;
        m_flowFrames = 0;
        m_stagedFrom = m_stagedTo = 0;
        if (!m_stuck && !holdsNothing)
            Bounded([](snd_pcm_t* pcm) { return snd_pcm_drop(pcm); });
    }

    int MillisecondsUntil(unsigned long frames) override {
        if (m_direction == Direction::Playback) {
            const long pending = Pending();
            return pending <= static_cast<long>(frames) ? 0 : Milliseconds(pending - frames);
        }
        // Asked right after a read that took all there was (the pulse plugin's
        // every call costs system calls): the server delivers a period at a
        // time, so the frames still missing come with the next periods, not
        // a frame at a time.
        return std::max(Milliseconds(frames), Milliseconds(m_periodFrames));
    }

    // A capture is read by the clock, as its headers come due: the pulse
    // plugin marks its descriptor readable for every fragment the server
    // sends, far below a period, which would wake the stream for nothing.
    int Descriptors(pollfd* descriptors, int room) override {
        if (m_direction == Direction::Capture || m_stuck)
            return 0;
        QuietAlsa quiet;
        return std::max(0,
                        snd_pcm_poll_descriptors(m_pcm, descriptors, static_cast<unsigned>(room)));
    }

    // The plugin learns here that it was woken, and clears what woke it. An
    // under-run, an over-run or a suspend shows as POLLERR: the next Transfer
    // meets it and recovers.
    void Woken(pollfd* descriptors, int count) override {
        if (m_stuck)
            return;
        QuietAlsa quiet;
        unsigned short events = 0;
        snd_pcm_poll_descriptors_revents(m_pcm, descriptors, static_cast<unsigned>(count), &events);
    }

    unsigned long BufferFrames() const override { return m_bufferFrames; }
    unsigned long PeriodFrames() const override { return m_periodFrames; }
    const char* ThreadName() const override {
        return m_direction == Direction::Playback ? "kx-out-alsa" : "kx-in-alsa";
    }

private:
    // One device transfer of up to `frames` frames, recovering from an
    // under-run, an over-run or a suspend: the frames moved, 0 for none just
    // now, negative when the device is lost.
    long Move(char* data, unsigned long frames) {
        const bool playing = m_direction == Direction::Playback;
        for (;;) {
            snd_pcm_sframes_t moved = g_injectedError.exchange(0);
            if (moved == 0 && playing && snd_pcm_state(m_pcm) == SND_PCM_STATE_PREPARED)
                moved = StartingWrite(data, frames);
            else if (moved == 0)
                moved = playing ? snd_pcm_writei(m_pcm, data, frames)
                                : snd_pcm_readi(m_pcm, data, frames);
            if (moved > 0 && playing)
                Flowed(moved);
            if (moved >= 0)
                return m_stuck ? -ENODEV : moved;
            if (moved == -EAGAIN) {
                if (!playing)
                    Start(); // a recovered capture is only prepared
                return 0;
            }
            if (Recover(static_cast<int>(moved)) < 0)
                return m_stuck ? -ENODEV : moved;
            if (!playing)
                Start();
        }
    }

    // Each call through the pulse plugin costs system calls, so a capture
    // reads a period at a time into the staging buffer and hands it out to
    // the headers from there: one read per wake-up, and another only while
    // the last one came full (the device may hold more).
    long Capture(char* data, unsigned long frames) {
        unsigned long copied = TakeStaged(data, frames);
        while (copied < frames) {
            const long read = Move(m_staging.data(), m_periodFrames);
            if (read <= 0)
                return copied > 0 ? static_cast<long>(copied) : read;
            m_stagedFrom = 0;
            m_stagedTo = static_cast<size_t>(read) * m_frameBytes;
            copied += TakeStaged(data + copied * m_frameBytes, frames - copied);
            if (static_cast<unsigned long>(read) < m_periodFrames)
                break;
        }
        return static_cast<long>(copied);
    }

    // Copies up to `frames` staged frames out: the frames copied.
    unsigned long TakeStaged(char* data, unsigned long frames) {
        const unsigned long taken = std::min<unsigned long>(frames, StagedFrames());
        std::memcpy(data, m_staging.data() + m_stagedFrom, taken * m_frameBytes);
        m_stagedFrom += taken * m_frameBytes;
        return taken;
    }

    long StagedFrames() const {
        return static_cast<long>((m_stagedTo - m_stagedFrom) / m_frameBytes);
    }

    int Milliseconds(unsigned long frames) const {
        return static_cast<int>(static_cast<unsigned long long>(frames) * 1000 / m_rate) + 1;
    }

    void Flowed(long frames) {
        if (m_flowFrames == 0)
            m_flowStart = std::chrono::steady_clock::now();
        m_flowFrames += frames;
    }

    // Starting, dropping and recovering wait for the pulse plugin's server,
    // which may never answer: they run through a helper. One that runs over,
    // or is refused while another helper is out, leaves the PCM to that
    // helper, which closes it once its call returns; the stream meets a lost
    // device from then on and never touches the PCM again (a helper may hold
    // the PCM's lock). Answers the call's result, -ENODEV when it ran over.
    template <typename Call> int Bounded(Call call) {
        if (m_stuck)
            return -ENODEV;
        snd_pcm_t* const pcm = m_pcm;
        const auto state = std::make_shared<DeviceCall>();
        m_stuck = !CallBounded(
            state,
            [pcm, call](DeviceCall& state) {
                QuietAlsa quiet;
                state.result = call(pcm);
            },
            [pcm](DeviceCall&) {
                QuietAlsa quiet;
                snd_pcm_close(pcm);
            },
            pcm);
        return m_stuck ? -ENODEV : state->result;
    }

    // The write that starts a prepared playback waits for the server as a
    // start does, so it is bounded. Its helper writes a copy of the frames
    // (at most a buffer's worth): given up on, it may write on once the
    // server answers, when `data` may be gone. (A playback PCM that did not
    // start by itself would ask its server to buffer all of it first.)
    long StartingWrite(const char* data, unsigned long frames) {
        const auto bytes = snd_pcm_frames_to_bytes(m_pcm, std::min(frames, m_bufferFrames));
        return Bounded([copy = std::vector<char>(data, data + bytes)](snd_pcm_t* pcm) {
            return static_cast<int>(
                snd_pcm_writei(pcm, copy.data(), snd_pcm_bytes_to_frames(pcm, copy.size())));
        });
    }

    // A dropped PCM is prepared before it plays or records again; false when
    // it cannot be.
    bool Ready() {
        return snd_pcm_state(m_pcm) != SND_PCM_STATE_SETUP ||
               Bounded([](snd_pcm_t* pcm) { return snd_pcm_prepare(pcm); }) >= 0;
    }

    // snd_pcm_recover, counted when it mends the PCM.
    int Recover(int error) {
        const int result =
            Bounded([error](snd_pcm_t* pcm) { return snd_pcm_recover(pcm, error, 1); });
        if (result == 0) {
            g_recovered.fetch_add(1);
            m_flowFrames = 0;
        }
        return result;
    }

    snd_pcm_t* const m_pcm;
    const Direction m_direction;
    const unsigned m_rate;
    const unsigned m_frameBytes;
    const unsigned long m_bufferFrames;
    const unsigned long m_periodFrames;
    // Capture: a period read from the device, handed out from m_stagedFrom
    // up to m_stagedTo (bytes).
    std::vector<char> m_staging;
    size_t m_stagedFrom = 0;
    size_t m_stagedTo = 0;
    // Playback: when data last began to flow into an idle PCM, and the frames
    // written since (0: idle).
    std::chrono::steady_clock::time_point m_flowStart;
    long long m_flowFrames = 0;
    bool m_stuck = false; // a drop ran over: the PCM is its helper's
};

MMRESULT Open(Direction direction, const std::string& id, const WAVEFORMATEX& format,
              std::unique_ptr<Backend>* opened) {
    QuietAlsa quiet;
    const snd_pcm_format_t sampleFormat = AlsaFormatOf(format);
    if (sampleFormat == SND_PCM_FORMAT_UNKNOWN)
        return WAVERR_BADFORMAT;
    const FileGeometry wanted = GeometryFor(direction, format);
    const unsigned channels = format.nChannels;
    const unsigned rate = format.nSamplesPerSec;
    snd_pcm_t* pcm = nullptr;
    PcmGeometry geometry;
    const int result = OpenPcm(
        id, StreamOf(direction), &pcm,
        [=](snd_pcm_t* device, PcmGeometry* configured) {
            snd_pcm_uframes_t period = wanted.period;
            snd_pcm_uframes_t buffer = wanted.buffer;
            snd_pcm_hw_params_t* params;
            snd_pcm_hw_params_alloca(&params);
            snd_pcm_sw_params_t* software;
            snd_pcm_sw_params_alloca(&software);
            snd_pcm_uframes_t boundary = 0;
            // A capture starts only when told, and a read takes what has come,
            // however little: the stream reads by its clock, and a read refused
            // for being short of a period would wait a period more.
            const bool accepted =
                snd_pcm_hw_params_any(device, params) >= 0 &&
                snd_pcm_hw_params_set_access(device, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
                snd_pcm_hw_params_set_format(device, params, sampleFormat) >= 0 &&
                snd_pcm_hw_params_set_channels(device, params, channels) >= 0 &&
                snd_pcm_hw_params_set_rate(device, params, rate, 0) >= 0 &&
                snd_pcm_hw_params_set_period_size_near(device, params, &period, nullptr) >= 0 &&
                snd_pcm_hw_params_set_buffer_size_near(device, params, &buffer) >= 0 &&
                snd_pcm_hw_params(device, params) >= 0 &&
                snd_pcm_hw_params_get_period_size(params, &configured->periodFrames, nullptr) >=
                    0 &&
                snd_pcm_hw_params_get_buffer_size(params, &configured->bufferFrames) >= 0 &&
                (direction == Direction::Playback ||
                 (snd_pcm_sw_params_current(device, software) >= 0 &&
                  snd_pcm_sw_params_get_boundary(software, &boundary) >= 0 &&
                  snd_pcm_sw_params_set_start_threshold(device, software, boundary) >= 0 &&
                  snd_pcm_sw_params_set_avail_min(device, software, 1) >= 0 &&
                  snd_pcm_sw_params(device, software) >= 0));
            return accepted ? 0 : kRefusedFormat;
        },
        &geometry);
    if (result == kRefusedFormat)
        return WAVERR_BADFORMAT;
    if (result != 0)
        return result == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_BADDEVICEID;
    // What the staging and a starting write's copy are sized from, within the
    // cap whatever ALSA made of the request.
    const snd_pcm_uframes_t maxFrames = MaxBufferFrames(format);
    opened->reset(new AlsaBackend(
        pcm, direction, format, std::clamp<snd_pcm_uframes_t>(geometry.bufferFrames, 1, maxFrames),
        std::clamp<snd_pcm_uframes_t>(geometry.periodFrames, 1, maxFrames / 2)));
    return MMSYSERR_NOERROR;
}

} // namespace

snd_pcm_format_t AlsaFormatOf(const WAVEFORMATEX& format) {
    SampleLayout samples;
    if (format.nChannels == 0 ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8 ||
        !DescribeSamples(format, &samples))
        return SND_PCM_FORMAT_UNKNOWN;
    if (samples.tag == WAVE_FORMAT_IEEE_FLOAT)
        return samples.bits == 32 && samples.validBits == 32 ? SND_PCM_FORMAT_FLOAT_LE
                                                             : SND_PCM_FORMAT_UNKNOWN;
    return PcmFormat(samples.bits, samples.validBits);
}

std::vector<AlsaPcmHint> AlsaPcmHints() {
    QuietAlsa quiet;
    std::vector<AlsaPcmHint> pcms;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) != 0)
        return pcms;
    for (void** hint = hints; *hint; ++hint) {
        char* fields[3] = {snd_device_name_get_hint(*hint, "NAME"),
                           snd_device_name_get_hint(*hint, "DESC"),
                           snd_device_name_get_hint(*hint, "IOID")};
        if (fields[0])
            pcms.push_back({fields[0], fields[1] ? fields[1] : "", fields[2] ? fields[2] : ""});
        for (char* field : fields)
            free(field);
    }
    snd_device_name_free_hint(hints);
    return pcms;
}

int OpenConfiguredPcm(Direction direction, std::string* name) {
    *name = PcmNameFor(direction);
    snd_pcm_t* pcm = nullptr;
    const int result = OpenPcm(*name, StreamOf(direction), &pcm);
    if (result == 0)
        ClosePcm(pcm);
    return result;
}

const BackendKind kAlsaBackend{"alsa", ListDevices, CheckFormat, Open};

namespace kxtest {

int OpenAlsaPcms() { return g_openPcms.load(); }

int TriedAlsaOpens() { return g_triedOpens.load(); }

int RunningAlsaThreads() { return g_streams.load(); }

int RecoveredAlsaXruns() { return g_recovered.load(); }

void StallAlsaCapture(int milliseconds) { g_captureStallMs.store(milliseconds); }

void FailNextAlsaTransfer(int error) { g_injectedError.store(error); }

int AlsaCallsLeftBehind() {
    std::lock_guard<std::mutex> lock(Late().mutex);
    return Late().out;
}

void FailNextAlsaHelperStart() { g_failHelperStart.store(true); }

} // namespace kxtest
