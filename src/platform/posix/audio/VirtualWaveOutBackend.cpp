#include "platform/posix/audio/VirtualWaveOutBackend.h"

#include <algorithm>
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

} // namespace

VirtualWaveOutBackend::VirtualWaveOutBackend(DWORD byteRate, WORD blockAlign, int dump)
    : m_dump(dump), m_clock(byteRate, blockAlign) {
    m_thread.Start("kx-out-virtual", [this] { Run(); });
}

VirtualWaveOutBackend::~VirtualWaveOutBackend() {
    m_thread.Close(m_mutex, [this] { m_wake.notify_all(); });
    if (m_dump >= 0)
        ::close(m_dump);
}

void VirtualWaveOutBackend::Play(WAVEHDR* header) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (header->dwBufferLength > 0 && m_played == m_queued) {
            m_clock.Restart(); // idle until now: the clock starts here
            m_startBytes = m_played;
        }
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
}

bool VirtualWaveOutBackend::Busy() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_headers.Empty();
}

// One timed wait per header, none while idle.
void VirtualWaveOutBackend::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_thread.Closing()) {
        Advance(Position());
        if (m_headers.Empty())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, m_clock.WhenDue(m_headers.FrontEnd() - m_startBytes));
    }
}

// The end of the queued bytes always counts in full, even when it ends
// inside a frame.
ULONGLONG VirtualWaveOutBackend::Position() const {
    if (m_played == m_queued)
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
