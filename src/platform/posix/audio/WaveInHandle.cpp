#include "platform/posix/audio/WaveInHandle.h"
#include "platform/ThreadName.h"
#include "platform/posix/ThreadMessages.h"
#include "platform/posix/audio/WaveHeaderFlags.h"

#include <algorithm>

namespace {

// Written while the device holds the header, read by its owner once the
// header is back: atomic like the flags.
void SetBytesRecorded(LPWAVEHDR header, DWORD bytes) {
    __atomic_store_n(&header->dwBytesRecorded, bytes, __ATOMIC_RELEASE);
}

} // namespace

WaveInHandle::WaveInHandle(HWAVEIN handle, const WAVEFORMATEX& format,
                           std::unique_ptr<WaveInBackend> capture, DWORD callbackThread)
    : m_handle(handle), m_capture(std::move(capture)), m_callbackThread(callbackThread),
      m_blockAlign(std::max<size_t>(format.nBlockAlign, 1)) {
    m_worker = std::thread([this] { Run(); });
}

WaveInHandle::~WaveInHandle() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void WaveInHandle::NotifyOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Notify(MM_WIM_OPEN, 0);
}

MMRESULT WaveInHandle::Prepare(LPWAVEHDR header) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prepared.Prepare(header);
}

MMRESULT WaveInHandle::Unprepare(LPWAVEHDR header) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prepared.Unprepare(header);
}

MMRESULT WaveInHandle::Add(LPWAVEHDR header) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (const MMRESULT refused = PreparedHeaders::CheckQueueable(header))
        return refused;
    if (!header->lpData)
        return MMSYSERR_INVALPARAM;
    SetBytesRecorded(header, 0);
    MarkQueued(header);
    m_queue.push_back(header);
    lock.unlock();
    m_wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInHandle::Start() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_running)
            return MMSYSERR_NOERROR;
        m_capture->Start();
        m_running = true;
    }
    m_wake.notify_all();
    return MMSYSERR_NOERROR;
}

// Stops capturing and hands back every queued header at once: the first with
// what it holds by now, the others empty.
MMRESULT WaveInHandle::Reset() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_running && !m_queue.empty())
            ReturnFirst(std::min(m_capture->Available(), Capacity(*m_queue.front())));
        m_capture->Stop();
        m_running = false;
        while (!m_queue.empty())
            ReturnFirst(0);
    }
    m_wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInHandle::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing)
            return MMSYSERR_INVALHANDLE;
        if (!m_queue.empty())
            return WAVERR_STILLPLAYING;
        m_capture->Stop();
        m_running = false;
        m_closing = true;
        m_prepared.Clear(); // a closed device holds nothing of its owner's
        Notify(MM_WIM_CLOSE, 0);
    }
    m_wake.notify_all();
    m_worker.join();
    return MMSYSERR_NOERROR;
}

// The worker sleeps until the first queued header can be filled whole, fills
// it and hands it back.
void WaveInHandle::Run() {
    NameCurrentThread(m_capture->ThreadName());
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_closing) {
        if (!m_running || m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const size_t capacity = Capacity(*m_queue.front());
        const WaveInBackend::Clock::time_point readyAt = m_capture->ReadyAt(capacity);
        if (WaveInBackend::Clock::now() < readyAt) {
            m_wake.wait_until(lock, readyAt);
            continue;
        }
        ReturnFirst(capacity);
    }
}

void WaveInHandle::ReturnFirst(size_t bytes) {
    const LPWAVEHDR header = m_queue.front();
    m_queue.erase(m_queue.begin());
    if (bytes > 0)
        m_capture->Read(header->lpData, bytes);
    SetBytesRecorded(header, static_cast<DWORD>(bytes));
    MarkDone(header);
    Notify(MM_WIM_DATA, reinterpret_cast<LPARAM>(header));
}

// A header is full at its length in whole sample frames.
size_t WaveInHandle::Capacity(const WAVEHDR& header) const {
    return header.dwBufferLength / m_blockAlign * m_blockAlign;
}

// Posted with the stream's lock held, so the owner sees the notifications in
// the order the device gave them.
void WaveInHandle::Notify(UINT message, LPARAM parameter) {
    if (m_callbackThread != 0)
        DeliverThreadMessage(m_callbackThread, message, reinterpret_cast<WPARAM>(m_handle),
                             parameter);
}
