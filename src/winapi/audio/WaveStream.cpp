// SPDX-License-Identifier: MIT
#include "winapi/audio/WaveStream.h"
#include "winapi/kernel/ThreadState.h"
#include "winapi/kernel/Descriptors.h"
#include "winapi/kernel/KernelObject.h"
#include "winapi/kernel/ThreadMessages.h"
#include "winapi/audio/WaveHeaderFlags.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <utility>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// A split frame is padded with silence once the device has no more than this
// left to play before it: time enough for the padded frame to follow without
// a gap, whatever the device's period.
constexpr unsigned kPadAtMs = 20;
constexpr int kMaxDeviceDescriptors = 8;
// Without an eventfd (none could be made) the thread looks for commands this
// often.
constexpr int kNoWakeFdMs = 20;

// Streams whose device is lost, of all open streams: while there is none, a
// queued header is "still playing" without a look at its stream.
std::atomic<int> g_lostStreams{0};

// Written while the device holds the header, read by its owner once the
// header is back: atomic like the flags.
void SetBytesRecorded(LPWAVEHDR header, DWORD bytes) {
    __atomic_store_n(&header->dwBytesRecorded, bytes, __ATOMIC_RELEASE);
}

// Unsigned 8-bit samples are silent at the middle of their range.
char SilenceOf(const WAVEFORMATEX& format) {
    SampleLayout samples;
    return DescribeSamples(format, &samples) && samples.tag == WAVE_FORMAT_PCM && samples.bits == 8
               ? '\x80'
               : '\0';
}

// The earlier of two time-outs, -1 being none.
int Sooner(int a, int b) {
    if (a < 0)
        return b;
    return b < 0 ? a : std::min(a, b);
}

} // namespace

WaveStream::WaveStream(Direction direction, std::unique_ptr<Backend> backend,
                       const WAVEFORMATEX& format, HANDLE handle, DWORD callbackThread,
                       std::shared_ptr<KernelObject> doneEvent)
    : m_direction(direction), m_handle(handle), m_callbackThread(callbackThread),
      m_doneEvent(std::move(doneEvent)), m_frameBytes(std::max<unsigned>(format.nBlockAlign, 1)),
      m_padAtFrames(std::max<unsigned long>(format.nSamplesPerSec * kPadAtMs / 1000, 1)),
      m_wakeFd(AboveStandardStreams(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))),
      m_backend(std::move(backend)), m_silence(SilenceOf(format)), m_splitFrame(m_frameBytes) {
    m_thread = std::thread([this] { Run(); });
}

WaveStream::~WaveStream() {
    std::unique_lock<std::mutex> lock(m_mutex);
    EndThread(lock);
    if (m_lost)
        g_lostStreams.fetch_sub(1);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

// Asks the thread to end and waits for it; the device closes after it.
void WaveStream::EndThread(std::unique_lock<std::mutex>& lock) {
    m_ending = true;
    Wake();
    lock.unlock();
    if (m_thread.joinable())
        m_thread.join();
    lock.lock();
    m_backend.reset();
}

void WaveStream::Wake() {
    const uint64_t one = 1;
    while (m_wakeFd >= 0 && ::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// A call that found the handle just before a close took it away finds it
// closed.
template <typename Step> MMRESULT WaveStream::WhileOpen(Step step) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed ? MMSYSERR_INVALHANDLE : step();
}

void WaveStream::NotifyOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_direction == Direction::Capture)
        Notify(MM_WIM_OPEN, 0);
    else
        SignalDone();
}

MMRESULT WaveStream::Prepare(LPWAVEHDR header) {
    return WhileOpen([&] { return m_prepared.Prepare(header); });
}

// A header still queued on a lost device will never come back by itself: the
// owner learns of the device error here. An owner polls this until its
// header is done, so the common answer, a header still queued while no
// device is lost, is given without the stream's lock, which the stream's
// thread holds across its device calls.
MMRESULT WaveStream::Unprepare(LPWAVEHDR header) {
    if (g_lostStreams.load(std::memory_order_acquire) == 0 &&
        !m_closed.load(std::memory_order_acquire) && (FlagsOf(header) & WHDR_INQUEUE))
        return WAVERR_STILLPLAYING;
    return WhileOpen([&] {
        const MMRESULT result = m_prepared.Unprepare(header);
        return result == WAVERR_STILLPLAYING && m_lost ? MMSYSERR_NODRIVER : result;
    });
}

MMRESULT WaveStream::Queue(LPWAVEHDR header, bool hold) {
    return WhileOpen([&] {
        if (const MMRESULT refused = PreparedHeaders::CheckQueueable(header))
            return refused;
        if (m_direction == Direction::Capture && !header->lpData)
            return MMSYSERR_INVALPARAM;
        if (m_lost)
            return MMSYSERR_NODRIVER;
        if (m_direction == Direction::Capture)
            SetBytesRecorded(header, 0);
        MarkQueued(header);
        if (hold) {
            m_held.push_back(header);
        } else if (m_direction == Direction::Playback) {
            // Played from this moment on, as on a driver; the thread takes
            // over what does not fit.
            m_queue.push_back(Entry{header, 0});
            while (!m_lost && WriteSome()) {
            }
            Wake();
        } else {
            // A recording thread busy with an earlier header comes to this
            // one by itself.
            m_queue.push_back(Entry{header, 0});
            if (m_queue.size() == 1)
                Wake();
        }
        return MMSYSERR_NOERROR;
    });
}

MMRESULT WaveStream::Start() {
    return WhileOpen([&] {
        if (!m_running && !m_lost) {
            m_backend->Start();
            m_running = true;
            Wake();
        }
        return MMSYSERR_NOERROR;
    });
}

MMRESULT WaveStream::Reset() {
    return WhileOpen([&] {
        if (m_direction == Direction::Capture) {
            if (m_running && !m_lost)
                ReadWhatCame();
            m_running = false;
        }
        if (!m_lost)
            m_backend->Drop();
        while (!m_queue.empty())
            ReturnFirst();
        m_writeIndex = m_writeOffset = 0;
        m_deviceFrames = 0;
        if (std::exchange(m_doneUnsignalled, false))
            SignalDone();
        Wake();
        return MMSYSERR_NOERROR;
    });
}

MMRESULT WaveStream::Close() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!m_queue.empty() || !m_held.empty())
        return WAVERR_STILLPLAYING;
    m_closed = true;
    m_prepared.Clear(); // a closed device holds nothing of its owner's
    EndThread(lock);
    if (m_direction == Direction::Capture)
        Notify(MM_WIM_CLOSE, 0);
    else
        SignalDone();
    return MMSYSERR_NOERROR;
}

void WaveStream::CloseFailed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_prepared.Keep();
}

void WaveStream::ReleaseHeld() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (LPWAVEHDR header : m_held)
        MarkDone(header);
    if (!m_held.empty())
        SignalDone();
    m_held.clear();
}

size_t WaveStream::PreparedCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prepared.Count();
}

size_t WaveStream::KeptCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prepared.KeptCount();
}

void WaveStream::Run() {
    NameCurrentThread(m_backend->ThreadName());
    pollfd descriptors[1 + kMaxDeviceDescriptors];
    descriptors[0] = pollfd{m_wakeFd, POLLIN, 0};
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_ending) {
        int count = 0;
        int timeout = -1;
        if (!m_lost && m_direction == Direction::Playback)
            timeout = Play(descriptors + 1, &count);
        else if (!m_lost)
            timeout = Record(descriptors + 1, &count);
        if (m_wakeFd < 0)
            timeout = Sooner(timeout, kNoWakeFdMs);
        const bool signal = std::exchange(m_doneUnsignalled, false);
        lock.unlock();
        if (signal)
            SignalDone();
        const int ready = ::poll(descriptors, 1 + count, timeout);
        if (ready > 0 && (descriptors[0].revents & POLLIN)) {
            uint64_t signals = 0;
            while (::read(m_wakeFd, &signals, sizeof signals) < 0 && errno == EINTR) {
            }
        }
        lock.lock();
        if (ready > 0 && count > 0 && m_backend)
            m_backend->Woken(descriptors + 1, count);
    }
}

// Writes what the device takes, returns what it has heard, and says how long
// to sleep: until the first header will have been heard, until there is room
// for a period (on the device's descriptors too), or until a split frame
// must be padded.
int WaveStream::Play(pollfd* device, int* count) {
    bool wrote = false;
    while (!m_lost && WriteSome())
        wrote = true;
    if (m_lost)
        return -1;
    ReturnHeard();
    int timeout = -1;
    if (!m_queue.empty() && m_writeIndex > 0)
        timeout = m_backend->MillisecondsUntil(m_deviceFrames - m_queue.front().mark);
    if (m_writeIndex < m_queue.size()) {
        const size_t left = m_queue[m_writeIndex].header->dwBufferLength - m_writeOffset;
        const bool splitTail = left < m_frameBytes && m_writeIndex + 1 == m_queue.size();
        if (splitTail) {
            m_backend->Start();
            timeout = Sooner(timeout, m_backend->MillisecondsUntil(m_padAtFrames));
        } else {
            // Room for a period: the device's descriptors say, or its clock.
            *count = m_backend->Descriptors(device, kMaxDeviceDescriptors);
            const unsigned long buffer = m_backend->BufferFrames();
            if (*count == 0)
                timeout =
                    Sooner(timeout, m_backend->MillisecondsUntil(
                                        buffer - std::min(buffer, m_backend->PeriodFrames())));
        }
    } else if (wrote || !m_queue.empty()) {
        m_backend->Start(); // nothing more to write: play out what the device holds
    }
    // A header that is heard already is returned on the next round.
    return timeout == 0 ? 1 : timeout;
}

// Gives the device what it takes now; false when nothing went in.
bool WaveStream::WriteSome() {
    while (m_writeIndex < m_queue.size() &&
           m_writeOffset == m_queue[m_writeIndex].header->dwBufferLength) {
        m_queue[m_writeIndex++].mark = m_deviceFrames; // an empty header, or one written whole
        m_writeOffset = 0;
    }
    if (m_writeIndex == m_queue.size())
        return false;
    const WAVEHDR& header = *m_queue[m_writeIndex].header;
    const size_t left = header.dwBufferLength - m_writeOffset;
    if (left < m_frameBytes)
        return WriteSplitFrame();
    const long frames = m_backend->Transfer(header.lpData + m_writeOffset, left / m_frameBytes);
    if (frames < 0) {
        DeviceLost();
        return false;
    }
    m_deviceFrames += static_cast<unsigned long long>(frames);
    m_writeOffset += static_cast<size_t>(frames) * m_frameBytes;
    return frames > 0;
}

// A frame split between headers goes out whole once the next header brings
// its rest. The bytes of the last header that do not fill a frame wait for
// more, until the device is down to its last kPadAtMs before them: then they
// go out padded with silence, and the next header begins a frame of its own.
bool WaveStream::WriteSplitFrame() {
    size_t have = 0;
    size_t offset = m_writeOffset;
    for (size_t i = m_writeIndex; i < m_queue.size() && have < m_frameBytes; ++i, offset = 0) {
        const WAVEHDR& header = *m_queue[i].header;
        const size_t take = std::min<size_t>(m_frameBytes - have, header.dwBufferLength - offset);
        std::memcpy(m_splitFrame.data() + have, header.lpData + offset, take);
        have += take;
    }
    if (have < m_frameBytes) {
        if (m_backend->Pending() > static_cast<long>(m_padAtFrames))
            return false;
        std::memset(m_splitFrame.data() + have, m_silence, m_frameBytes - have);
    }
    const long frames = m_backend->Transfer(m_splitFrame.data(), 1);
    if (frames < 0) {
        DeviceLost();
        return false;
    }
    if (frames == 0)
        return false;
    ++m_deviceFrames;
    Consume(have);
    return true;
}

// Moves the write position `bytes` on, marking each header it passes the end
// of as written in the current frame.
void WaveStream::Consume(size_t bytes) {
    while (bytes > 0) {
        const size_t left = m_queue[m_writeIndex].header->dwBufferLength - m_writeOffset;
        const size_t take = std::min(bytes, left);
        m_writeOffset += take;
        bytes -= take;
        if (m_writeOffset == m_queue[m_writeIndex].header->dwBufferLength) {
            m_queue[m_writeIndex++].mark = m_deviceFrames;
            m_writeOffset = 0;
        }
    }
}

// Marks done, in order, every written header whose last frame has been heard.
void WaveStream::ReturnHeard() {
    if (m_writeIndex == 0)
        return;
    const long pending = m_backend->Pending();
    const unsigned long long heard =
        m_deviceFrames - std::min<unsigned long long>(m_deviceFrames, std::max(pending, 0L));
    while (m_writeIndex > 0 && m_queue.front().mark <= heard) {
        ReturnFirst();
        --m_writeIndex;
    }
}

// Fills the queued headers in order straight from the device and returns
// those it filled; sleeps until the rest is due, on the device's descriptors
// too.
int WaveStream::Record(pollfd* device, int* count) {
    size_t filled = 0;
    int timeout = -1;
    while (m_running && filled < m_queue.size()) {
        Entry& entry = m_queue[filled];
        const size_t capacity = entry.header->dwBufferLength / m_frameBytes * m_frameBytes;
        const unsigned long missing =
            static_cast<unsigned long>((capacity - entry.mark) / m_frameBytes);
        if (missing > 0) {
            const long read = m_backend->Transfer(entry.header->lpData + entry.mark, missing);
            if (read < 0) {
                DeviceLost();
                break;
            }
            entry.mark += static_cast<unsigned long long>(read) * m_frameBytes;
            if (static_cast<unsigned long>(read) < missing) {
                *count = m_backend->Descriptors(device, kMaxDeviceDescriptors);
                const int due = m_backend->MillisecondsUntil(
                    FramesToAwait(filled, missing - static_cast<unsigned long>(read)));
                timeout = due == 0 ? 1 : due;
                break;
            }
        }
        ++filled;
    }
    // Handed back once the reading is done: the owner, woken by the first,
    // then finds the stream's lock free at once.
    while (filled-- > 0)
        ReturnFirst();
    return timeout;
}

// A reset's last reading: what the device has delivered goes into the queued
// headers in order, until one is left part-filled.
void WaveStream::ReadWhatCame() {
    for (Entry& entry : m_queue) {
        const unsigned long room =
            static_cast<unsigned long>((entry.header->dwBufferLength - entry.mark) / m_frameBytes);
        if (room == 0)
            continue;
        const long read = m_backend->Transfer(entry.header->lpData + entry.mark, room);
        entry.mark += read > 0 ? static_cast<unsigned long long>(read) * m_frameBytes : 0;
        if (read < static_cast<long>(room))
            return;
    }
}

// The frames to wait for before reading on: the rest of the header at
// `reading`, and, from a device that delivers a period at a time, a period's
// worth across the headers queued behind it, so that one wake-up fills every
// header the period completes.
unsigned long WaveStream::FramesToAwait(size_t reading, unsigned long missing) const {
    const unsigned long period = m_backend->PeriodFrames();
    unsigned long wanted = missing;
    for (size_t i = reading + 1; i < m_queue.size() && wanted < period; ++i)
        wanted += m_queue[i].header->dwBufferLength / m_frameBytes;
    return std::max(missing, std::min(wanted, period));
}

// Hands the first queued header back, done: a recorded one with its bytes.
void WaveStream::ReturnFirst() {
    const Entry first = m_queue.front();
    m_queue.erase(m_queue.begin());
    if (m_direction == Direction::Capture)
        SetBytesRecorded(first.header, static_cast<DWORD>(first.mark));
    MarkDone(first.header);
    if (m_direction == Direction::Capture)
        Notify(MM_WIM_DATA, reinterpret_cast<LPARAM>(first.header));
    else
        m_doneUnsignalled = true;
}

// Nothing more goes to or comes from the device. Played headers stay queued
// unheard (their owner, woken by the event, meets the device error when it
// unprepares them, and a reset returns them); recording keeps what it has and
// adds nothing.
void WaveStream::DeviceLost() {
    if (!m_lost)
        g_lostStreams.fetch_add(1, std::memory_order_release);
    m_lost = true;
    if (m_direction == Direction::Playback)
        m_doneUnsignalled = true;
}

// Posted with the stream's lock held, so the owner sees the notifications in
// the order the device gave them.
void WaveStream::Notify(UINT message, LPARAM parameter) {
    if (m_callbackThread != 0)
        DeliverThreadMessage(m_callbackThread, message, reinterpret_cast<WPARAM>(m_handle),
                             parameter);
}

void WaveStream::SignalDone() {
    if (m_doneEvent)
        SetSharedEvent(*m_doneEvent);
}
