#pragma once

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/WaveHandle.h"
#include "platform/posix/audio/WaveInBackend.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One open wave-in handle: the queue of added headers, a worker thread that
// hands each header back when the capture has filled it, and the
// notifications to the callback thread. The device writes a header's
// dwBytesRecorded and dwFlags only with atomic stores (or inside the owner's
// own calls), and its data only while it holds the header; the owner learns
// of a returned header through a message posted after those writes.
class WaveInHandle : public WaveHandle {
public:
    // callbackThread 0: no notifications.
    WaveInHandle(HWAVEIN handle, const WAVEFORMATEX& format, std::unique_ptr<WaveInBackend> capture,
                 DWORD callbackThread);
    ~WaveInHandle();
    WaveInHandle(const WaveInHandle&) = delete;
    WaveInHandle& operator=(const WaveInHandle&) = delete;

    void NotifyOpen();
    MMRESULT Prepare(LPWAVEHDR header);
    MMRESULT Unprepare(LPWAVEHDR header);
    MMRESULT Add(LPWAVEHDR header);
    MMRESULT Start();
    MMRESULT Reset();
    // Fails with WAVERR_STILLPLAYING while headers are queued; otherwise
    // ends the worker and posts MM_WIM_CLOSE.
    MMRESULT Close();

private:
    void Run();
    // Hands the first queued header back holding `bytes` captured bytes.
    void ReturnFirst(size_t bytes);
    size_t Capacity(const WAVEHDR& header) const;
    void Notify(UINT message, LPARAM parameter);

    const HWAVEIN m_handle;
    const std::unique_ptr<WaveInBackend> m_capture;
    const DWORD m_callbackThread;
    const size_t m_blockAlign;

    std::condition_variable m_wake;
    // Keeps its capacity: streaming allocates nothing.
    std::vector<LPWAVEHDR> m_queue;
    bool m_running = false;
    bool m_closing = false;
    std::thread m_worker;
};
