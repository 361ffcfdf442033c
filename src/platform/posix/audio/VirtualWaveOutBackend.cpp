#include "platform/posix/audio/VirtualWaveOutBackend.h"

#include <algorithm>
#include <atomic>
#include <unistd.h>

namespace {

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// The one output that the streams of the virtual device play through, one
// at a time, like a card without a mixer: a stream with sound to play waits
// while another one plays (a stream whose reset failed plays out what it
// holds first), so that what the output played is each stream's bytes in
// turn.
std::atomic<const void*> g_speaker{nullptr};

// Waiting for the speaker is the rare case of two streams at once: it looks
// again this often.
constexpr std::chrono::milliseconds kSpeakerBusyPoll(20);

} // namespace

VirtualWaveOutBackend::VirtualWaveOutBackend(DWORD byteRate, WORD blockAlign, int dump)
    : m_dump(dump), m_clock(byteRate, blockAlign) {
    m_thread.Start("kx-out-virtual", [this] { Run(); });
}

VirtualWaveOutBackend::~VirtualWaveOutBackend() {
    m_thread.Close(m_mutex, [this] { m_wake.notify_all(); });
    ReleaseSpeaker();
    if (m_dump >= 0)
        ::close(m_dump);
}

void VirtualWaveOutBackend::Play(WAVEHDR* header) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (header->dwBufferLength > 0 && m_played == m_queued)
            m_speaking = false; // idle until now: the clock starts when it plays
        m_queued += header->dwBufferLength;
        m_headers.Push(header, m_queued);
        m_headers.ReturnPlayed(m_played); // an empty header on an idle stream
    }
    m_wake.notify_all();
}

// What the clock has played goes to the file; the rest is dropped.
void VirtualWaveOutBackend::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Advance(Position());
    m_headers.ReturnAll();
    m_played = m_queued = 0;
    ReleaseSpeaker();
}

bool VirtualWaveOutBackend::Busy() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_headers.Empty();
}

// One timed wait per header, none while idle.
void VirtualWaveOutBackend::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_thread.Closing()) {
        if (m_played < m_queued && !m_speaking && !TakeSpeaker()) {
            m_wake.wait_for(lock, kSpeakerBusyPoll);
            continue;
        }
        Advance(Position());
        if (m_played == m_queued)
            ReleaseSpeaker();
        if (m_headers.Empty())
            m_wake.wait(lock);
        else if (m_speaking)
            m_wake.wait_until(lock, m_clock.WhenDue(m_headers.FrontEnd() - m_startBytes));
    }
}

// The clock starts when the stream begins to play.
bool VirtualWaveOutBackend::TakeSpeaker() {
    const void* free = nullptr;
    if (!g_speaker.compare_exchange_strong(free, this) && free != this)
        return false;
    m_speaking = true;
    m_clock.Restart();
    m_startBytes = m_played;
    return true;
}

void VirtualWaveOutBackend::ReleaseSpeaker() {
    m_speaking = false;
    const void* self = this;
    g_speaker.compare_exchange_strong(self, nullptr);
}

// The end of the queued bytes always counts in full, even when it ends
// inside a frame.
ULONGLONG VirtualWaveOutBackend::Position() const {
    if (m_played == m_queued || !m_speaking)
        return m_played;
    return std::min(m_startBytes + m_clock.DueBytes(VirtualClock::Clock::now()), m_queued);
}

void VirtualWaveOutBackend::Advance(ULONGLONG position) {
    m_headers.ReturnPlayed(m_played);
    while (m_played < position && !m_headers.Empty()) {
        const WAVEHDR& front = m_headers.Front();
        const ULONGLONG end = m_headers.FrontEnd();
        const ULONGLONG begin = end - front.dwBufferLength;
        const ULONGLONG upTo = std::min(position, end);
        if (m_dump >= 0)
            WriteAll(m_dump, front.lpData + (m_played - begin), upTo - m_played);
        m_played = upTo;
        m_headers.ReturnPlayed(m_played);
    }
}
