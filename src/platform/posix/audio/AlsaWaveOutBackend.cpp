#include "platform/posix/audio/AlsaWaveOutBackend.h"
#include "platform/posix/audio/AlsaActivity.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// Without a wake-up descriptor the writer looks for commands this often.
constexpr int kFallbackPollMs = 20;
// Slack on the rate for a device whose clock runs a little fast.
constexpr double kFastClock = 1.01;

} // namespace

AlsaWaveOutBackend::AlsaWaveOutBackend(std::unique_ptr<AlsaPcm> pcm, char silence)
    : m_pcm(std::move(pcm)), m_frameBytes(m_pcm->frameBytes()),
      m_byteRate(static_cast<double>(m_pcm->rate()) * m_frameBytes), m_silence(silence),
      m_splitFrame(m_frameBytes) {
    m_writer.Start("kx-out-alsa", [this] { Run(); });
}

AlsaWaveOutBackend::~AlsaWaveOutBackend() {
    m_writer.Close(m_mutex, [this] { m_wakeup.Signal(); });
}

void AlsaWaveOutBackend::Play(WAVEHDR* header) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (header->dwBufferLength > 0)
            m_pending.push_back(Chunk{header->lpData, header->dwBufferLength});
        m_pendingBytes += header->dwBufferLength;
        m_headers.Push(header, m_written + m_pendingBytes);
        m_headers.ReturnPlayed(m_played); // an empty header on an idle stream
    }
    m_wakeup.Signal();
}

bool AlsaWaveOutBackend::Busy() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_headers.Empty();
}

void AlsaWaveOutBackend::Stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_stopRequests;
    m_wakeup.Signal();
    m_stopped.wait(lock, [this] { return m_stopsDone == m_stopRequests; });
}

void AlsaWaveOutBackend::Run() {
    CountedAlsaThread counted;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_writer.Closing()) {
        if (m_stopsDone != m_stopRequests) {
            DropAll();
            continue;
        }
        UpdatePlayed();
        m_headers.ReturnPlayed(m_played);
        if (WriteSome())
            continue;
        // The PCM is full (then it wakes the writer when a period is free),
        // or nothing whole is left to write (then it plays out what it
        // holds, even when that is less than its start threshold).
        const bool full = m_pendingBytes >= m_frameBytes;
        if (!full)
            m_pcm->Start();
        const int timeout = m_wakeup.fd() < 0 ? kFallbackPollMs : NextHeardMs();
        lock.unlock();
        m_pcm->Poll(m_wakeup.fd(), full, timeout);
        m_wakeup.Clear();
        lock.lock();
    }
}

// When the first header not yet heard will have been heard: -1 (no limit)
// while nothing is in the PCM. A few bytes still waiting to make a whole
// frame are looked at again within a period, to be padded in time.
int AlsaWaveOutBackend::NextHeardMs() const {
    if (m_played == m_written)
        return m_pendingBytes > 0 ? PeriodMs() : -1;
    const ULONGLONG end = m_headers.Empty() ? m_written : std::min(m_headers.FrontEnd(), m_written);
    const ULONGLONG left = end > m_played ? end - m_played : 0;
    const int due = static_cast<int>(static_cast<double>(left) * 1000 / m_byteRate) + 1;
    return m_pendingBytes > 0 && m_pendingBytes < m_frameBytes ? std::min(due, PeriodMs()) : due;
}

int AlsaWaveOutBackend::PeriodMs() const {
    return static_cast<int>(m_pcm->periodFrames() * 1000 / m_pcm->rate()) + 1;
}

// Gives the PCM what it takes now; false when nothing went in.
bool AlsaWaveOutBackend::WriteSome() {
    if (m_pending.empty())
        return false;
    const Chunk& front = m_pending.front();
    const DWORD left = front.size - m_frontOffset;
    if (left < m_frameBytes)
        return WriteSplitFrame();
    const long frames = m_pcm->Write(front.data + m_frontOffset, left / m_frameBytes);
    if (frames < 0) {
        // The PCM failed for good: what it cannot play counts as played, so
        // that the host's playback still comes to its end.
        Consume(m_pendingBytes);
        m_played = m_written;
        return true;
    }
    Consume(static_cast<ULONGLONG>(frames) * m_frameBytes);
    return frames > 0;
}

// A frame split between two chunks, or the last bytes of all that do not
// fill a frame. The latter are padded with silence only once the PCM has
// almost played out, as until then more data may come to complete them.
bool AlsaWaveOutBackend::WriteSplitFrame() {
    size_t have = 0;
    DWORD offset = m_frontOffset;
    for (const Chunk& chunk : m_pending) {
        const size_t take = std::min<size_t>(m_frameBytes - have, chunk.size - offset);
        std::memcpy(m_splitFrame.data() + have, chunk.data + offset, take);
        have += take;
        offset = 0;
        if (have == m_frameBytes)
            break;
    }
    if (have < m_frameBytes) {
        if (m_pcm->Delay() >= static_cast<long>(m_pcm->periodFrames()))
            return false;
        std::memset(m_splitFrame.data() + have, m_silence, m_frameBytes - have);
    }
    const long frames = m_pcm->Write(m_splitFrame.data(), 1);
    if (frames < 0) {
        Consume(m_pendingBytes);
        m_played = m_written;
        return true;
    }
    if (frames == 0)
        return false;
    Consume(have);
    return true;
}

// Moves `bytes` queued bytes from the pending chunks to the written ones.
void AlsaWaveOutBackend::Consume(ULONGLONG bytes) {
    if (m_played == m_written) {
        m_flowStart = std::chrono::steady_clock::now();
        m_flowStartBytes = m_played;
    }
    m_pendingBytes -= bytes;
    m_written += bytes;
    while (bytes > 0) {
        const Chunk& front = m_pending.front();
        const DWORD take =
            static_cast<DWORD>(std::min<ULONGLONG>(bytes, front.size - m_frontOffset));
        m_frontOffset += take;
        bytes -= take;
        if (m_frontOffset == front.size) {
            m_pending.erase(m_pending.begin());
            m_frontOffset = 0;
        }
    }
}

// Written bytes are heard once the PCM's delay no longer covers them, but not
// faster than the rate since the flow began: just after a restart the pulse
// plugin reports a delay of 0 for a moment. The count never goes back.
void AlsaWaveOutBackend::UpdatePlayed() {
    const ULONGLONG queued = static_cast<ULONGLONG>(m_pcm->Delay()) * m_frameBytes;
    const ULONGLONG written = m_written > queued ? m_written - queued : 0;
    const std::chrono::duration<double> flowing = std::chrono::steady_clock::now() - m_flowStart;
    const auto possible =
        m_flowStartBytes + static_cast<ULONGLONG>(flowing.count() * m_byteRate * kFastClock);
    m_played = std::max(m_played, std::min(written, possible));
}

// A stop: what the PCM holds goes at once, what is queued is forgotten, and
// the counts start again from 0.
void AlsaWaveOutBackend::DropAll() {
    m_pcm->Drop();
    m_pending.clear();
    m_frontOffset = 0;
    m_pendingBytes = 0;
    m_written = 0;
    m_played = 0;
    m_headers.ReturnAll();
    m_stopsDone = m_stopRequests;
    m_stopped.notify_all();
}
