#include "platform/posix/audio/WaveInStream.h"
#include "platform/ThreadName.h"
#include "platform/posix/ThreadMessages.h"

#include <algorithm>

namespace {

// The header fields the device changes are read and written atomically, so
// that an owner looking at them never races with the device.
DWORD Flags(const WAVEHDR* header) { return __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE); }

void SetFlags(LPWAVEHDR header, DWORD flags) {
    __atomic_store_n(&header->dwFlags, flags, __ATOMIC_RELEASE);
}

void SetBytesRecorded(LPWAVEHDR header, DWORD bytes) {
    __atomic_store_n(&header->dwBytesRecorded, bytes, __ATOMIC_RELEASE);
}

} // namespace

WaveInStream::WaveInStream(HWAVEIN handle, const WAVEFORMATEX& format,
                           std::unique_ptr<WaveInCapture> capture, DWORD callbackThread)
    : m_handle(handle), m_capture(std::move(capture)), m_callbackThread(callbackThread),
      m_blockAlign(std::max<size_t>(format.nBlockAlign, 1)) {
    m_worker = std::thread([this] { Run(); });
}

WaveInStream::~WaveInStream() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void WaveInStream::NotifyOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Notify(MM_WIM_OPEN, 0);
}

MMRESULT WaveInStream::Prepare(LPWAVEHDR header) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const DWORD flags = Flags(header);
    if (flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (!(flags & WHDR_PREPARED))
        SetFlags(header, (flags | WHDR_PREPARED) & ~WHDR_DONE);
    m_prepared.Insert(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInStream::Unprepare(LPWAVEHDR header) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const DWORD flags = Flags(header);
    if (!(flags & WHDR_PREPARED))
        return MMSYSERR_NOERROR;
    if (flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    SetFlags(header, (flags & ~WHDR_PREPARED) | WHDR_DONE);
    m_prepared.Erase(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInStream::Add(LPWAVEHDR header) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const DWORD flags = Flags(header);
    if (!(flags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (!header->lpData)
        return MMSYSERR_INVALPARAM;
    SetBytesRecorded(header, 0);
    SetFlags(header, (flags | WHDR_INQUEUE) & ~WHDR_DONE);
    m_queue.push_back(header);
    lock.unlock();
    m_wake.notify_all();
    return MMSYSERR_NOERROR;
}

void WaveInStream::Start() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_running)
            return;
        m_capture->Start();
        m_running = true;
    }
    m_wake.notify_all();
}

// Stops capturing and hands back every queued header at once: the first with
// what it holds by now, the others empty.
void WaveInStream::Reset() {
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
}

MMRESULT WaveInStream::Close() {
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

size_t WaveInStream::PreparedCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prepared.Count();
}

// The worker sleeps until the first queued header can be filled whole, fills
// it and hands it back.
void WaveInStream::Run() {
    NameCurrentThread(m_capture->ThreadName());
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_closing) {
        if (!m_running || m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const size_t capacity = Capacity(*m_queue.front());
        const WaveInCapture::Clock::time_point readyAt = m_capture->ReadyAt(capacity);
        if (WaveInCapture::Clock::now() < readyAt) {
            m_wake.wait_until(lock, readyAt);
            continue;
        }
        ReturnFirst(capacity);
    }
}

void WaveInStream::ReturnFirst(size_t bytes) {
    const LPWAVEHDR header = m_queue.front();
    m_queue.erase(m_queue.begin());
    if (bytes > 0)
        m_capture->Read(header->lpData, bytes);
    SetBytesRecorded(header, static_cast<DWORD>(bytes));
    SetFlags(header, (Flags(header) & ~WHDR_INQUEUE) | WHDR_DONE);
    Notify(MM_WIM_DATA, reinterpret_cast<LPARAM>(header));
}

// A header is full at its length in whole sample frames.
size_t WaveInStream::Capacity(const WAVEHDR& header) const {
    return header.dwBufferLength / m_blockAlign * m_blockAlign;
}

// Posted with the stream's lock held, so the owner sees the notifications in
// the order the device gave them.
void WaveInStream::Notify(UINT message, LPARAM parameter) {
    if (m_callbackThread != 0)
        DeliverThreadMessage(m_callbackThread, message, reinterpret_cast<WPARAM>(m_handle),
                             parameter);
}
