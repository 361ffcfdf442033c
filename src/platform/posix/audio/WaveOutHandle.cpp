#include "platform/posix/audio/WaveOutHandle.h"
#include "platform/posix/audio/WaveHeaderFlags.h"

WaveOutHandle::WaveOutHandle(std::unique_ptr<WaveOutBackend> backend)
    : m_backend(std::move(backend)) {}

// A call that found the handle just before a close took it away finds it
// closed.
template <typename Step> MMRESULT WaveOutHandle::WhileOpen(Step step) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed ? MMSYSERR_INVALHANDLE : step();
}

MMRESULT WaveOutHandle::Prepare(LPWAVEHDR header) {
    return WhileOpen([&] { return m_prepared.Prepare(header); });
}

MMRESULT WaveOutHandle::Unprepare(LPWAVEHDR header) {
    return WhileOpen([&] { return m_prepared.Unprepare(header); });
}

MMRESULT WaveOutHandle::Write(LPWAVEHDR header, bool hold) {
    return WhileOpen([&] {
        if (const MMRESULT refused = PreparedHeaders::CheckQueueable(header))
            return refused;
        MarkQueued(header);
        if (hold)
            m_held.push_back(header);
        else
            m_backend->Play(header); // an empty header is done at once on an idle backend
        return MMSYSERR_NOERROR;
    });
}

MMRESULT WaveOutHandle::Reset() {
    return WhileOpen([&] {
        m_backend->Stop();
        return MMSYSERR_NOERROR;
    });
}

MMRESULT WaveOutHandle::Close() {
    return WhileOpen([&] {
        if (!m_held.empty() || m_backend->Busy())
            return WAVERR_STILLPLAYING;
        m_closed = true;
        m_prepared.Clear(); // a closed device holds nothing of its owner's
        return MMSYSERR_NOERROR;
    });
}

void WaveOutHandle::ReleaseHeld() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (WAVEHDR* header : m_held)
        MarkDone(header);
    m_held.clear();
}
