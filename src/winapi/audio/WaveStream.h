// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"
#include "winapi/audio/Backend.h"
#include "winapi/audio/PreparedHeaders.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One open wave-in or wave-out handle: every Windows rule about its headers
// (prepared, queued, done, held), its messages, reset and close, over a
// backend that moves bytes. Its one thread sleeps in poll() on the backend's
// descriptors and an eventfd that the owner's calls signal, with a time-out
// when the next header is due; it plays queued headers or records straight
// into them, and marks each done (WHDR_DONE set, WHDR_INQUEUE cleared,
// atomically) from its own thread as a Windows driver does: a played header
// once its last byte has been heard, a recorded one when it is full.
// Playback with CALLBACK_EVENT signals the owner's event at the open, for
// every header done and at the close, as winmm does.
struct pollfd;
class KernelObject;

class WaveStream {
public:
    // `handle` is what messages carry; callbackThread 0: no messages;
    // doneEvent null: no event.
    WaveStream(Direction direction, std::unique_ptr<Backend> backend, const WAVEFORMATEX& format,
               HANDLE handle, DWORD callbackThread, std::shared_ptr<KernelObject> doneEvent);
    ~WaveStream();
    WaveStream(const WaveStream&) = delete;
    WaveStream& operator=(const WaveStream&) = delete;

    // Posts MM_WIM_OPEN (recording), or signals the event (playback).
    void NotifyOpen();
    MMRESULT Prepare(LPWAVEHDR header);
    MMRESULT Unprepare(LPWAVEHDR header);
    // waveOutWrite and waveInAddBuffer. `hold`: the header stays in the
    // device, never played, until ReleaseHeld.
    MMRESULT Queue(LPWAVEHDR header, bool hold);
    // Recording begins; the device's clock counts from here.
    MMRESULT Start();
    // Stops at once and returns every queued header but held ones: a played
    // one unplayed, recorded ones with what the device has delivered by now.
    MMRESULT Reset();
    // WAVERR_STILLPLAYING while headers are queued; otherwise ends the
    // thread, closes the device and posts MM_WIM_CLOSE (recording).
    MMRESULT Close();
    // The close failed: the owner keeps what it prepared, on purpose.
    void CloseFailed();
    void ReleaseHeld();
    size_t PreparedCount();
    size_t KeptCount();

private:
    struct Entry {
        LPWAVEHDR header;
        // Playback: the device frame its last byte went out in (once it has);
        // recording: the bytes recorded into it so far.
        unsigned long long mark;
    };

    template <typename Step> MMRESULT WhileOpen(Step step);
    void Run();
    // One round of the thread with the lock held: the time-out to sleep for,
    // and the *count descriptors of the device to sleep on as well.
    int Play(pollfd* device, int* count);
    int Record(pollfd* device, int* count);
    void ReadWhatCame();
    unsigned long FramesToAwait(size_t reading, unsigned long missing) const;
    bool WriteSome();
    bool WriteSplitFrame();
    void Consume(size_t bytes);
    void ReturnHeard();
    void ReturnFirst();
    void DeviceLost();
    void Notify(UINT message, LPARAM parameter);
    void SignalDone();
    void Wake();
    void EndThread(std::unique_lock<std::mutex>& lock);

    const Direction m_direction;
    const HANDLE m_handle;
    const DWORD m_callbackThread;
    const std::shared_ptr<KernelObject> m_doneEvent;
    const unsigned m_frameBytes;
    // A frame split across headers waits for the next header while the
    // device has more than this left to play.
    const unsigned long m_padAtFrames;
    const int m_wakeFd;
    std::unique_ptr<Backend> m_backend;

    std::mutex m_mutex;
    PreparedHeaders m_prepared;
    // Queued, in order; the vectors keep their capacity, so streaming
    // allocates nothing once as many headers as ever have been queued.
    std::vector<Entry> m_queue;
    std::vector<LPWAVEHDR> m_held;
    const char m_silence;
    std::vector<char> m_splitFrame;        // one frame put together from several headers
    size_t m_writeIndex = 0;               // playback: the entry being written
    size_t m_writeOffset = 0;              // and its bytes written so far
    unsigned long long m_deviceFrames = 0; // playback: frames written since the open or reset
    bool m_running = false;                // recording: started
    bool m_lost = false;                   // the device failed beyond recovery
    std::atomic<bool> m_closed{false};     // read without the lock by Unprepare
    bool m_ending = false;                 // the thread is asked to end
    // Playback: headers were marked done since the event was last signalled.
    // The stream's thread signals once it has let go of the lock, so that the
    // owner it wakes finds the lock free.
    bool m_doneUnsignalled = false;
    std::thread m_thread;
};
