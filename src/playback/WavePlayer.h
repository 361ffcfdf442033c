// SPDX-License-Identifier: MIT
#pragma once

#include "lifecycle/Keeper.h"
#include "lifecycle/LibraryThread.h"
#include "platform/platform.h"
#include "playback/WaveForm.h"

#include <atomic>
#include <memory>
#include <vector>

// Plays one WAVE file at a time through a wave-out device. A start opens the
// file and the device and hands the streaming to a play thread, which keeps
// two blocks in the device's queue and refills each as soon as the device has
// finished with it: the device signals the player's wake event whenever it
// is done with a header (CALLBACK_EVENT), and the thread sleeps on that event
// rather than looking at the header again and again. The one instance is
// g_Player.
class CWavePlayer {
public:
    CWavePlayer();
    virtual ~CWavePlayer();
    CWavePlayer(const CWavePlayer&) = delete;
    CWavePlayer& operator=(const CWavePlayer&) = delete;

    // Chooses the first device whose upper-cased name contains `pattern`
    // (mustContain non-zero) or does not contain it (mustContain 0); the
    // device count when none qualifies. Always 0.
    int SelectDevice(const char* pattern, int mustContain);
    // 0 playing; 1 when the file or the device cannot be opened, the thread
    // cannot be created, or an earlier play thread would not stop.
    int StartPlayFile(const char* fileName);
    // 0 idle or stopped; 5 no stop event or no thread; 1 the play thread did
    // not end within 15000 ms (it is still playing).
    int StopPlayFile();
    bool IsPlaying() const { return m_state != kIdle; }
    // 0 when idle; 1 when still playing once more than timeoutMs have passed.
    int WaitPlayEnd(unsigned timeoutMs);
    // Stops when the library goes: a play thread that will not stop is
    // terminated, so that it never runs on the player's freed state, and a
    // device whose close failed earlier is closed now.
    void StopForGood();

    // Serialises the starts and stops of the exported functions.
    CRITICAL_SECTION& ExportLock() { return m_exportLock; }

private:
    // Tests reach the play thread through CWavePlayerTestPeer
    // (tests/support/TestPeers.h).
    friend class CWavePlayerTestPeer;

    // The play thread of the latest start until a start or stop after its
    // end closes it; null when there is none.
    HANDLE PlayThread() const { return m_playThread; }
    enum State { kIdle = 0, kPlaying = 2 };
    enum WaitResult { kReturned, kStopped, kDeviceError };

    // 0 or 1.
    int OpenDevice(const WAVEFORMATEX& format, const std::vector<BYTE>& extraFormat);
    int CloseDevice();
    // The header index used (0 or 1), or -1 at the end of the data or on error.
    int QueueBlock(CWaveForm& file);
    void FillHeader(WAVEHDR& header);

    // Exit code 0, or -2 after an unexpected device error.
    static DWORD WINAPI PlayThreadProc(LPVOID player);
    // The streaming loop; returns the exit code.
    int Stream();
    // Waits until the device has returned header i, or a stop or device error.
    WaitResult WaitForHeader(int i);
    // Sleeps on the wake event until header i is back, or `ms` milliseconds
    // have passed: the header's unprepare result.
    MMRESULT AwaitHeader(WAVEHDR& header, DWORD ms);
    // The pause at the end of the data before the device is reset.
    void EndPause(int last);
    void CleanUp();
    void KeepWithUnclosedDevice();
    void TerminatePlayThread();

    DWORD PlayTimeMs(DWORD bytes) const;
    bool StopRequested();
    void CloseEndedThread();
    void CloseWaveFile();

    // Frees a header that LocalAlloc gave.
    struct LocalFreeHeader {
        void operator()(WAVEHDR* header) const { LocalFree(header); }
    };

    HANDLE m_playThread = nullptr;
    HANDLE m_stopEvent = nullptr; // automatic reset
    // Automatic reset; signalled by the device when a header is done (and at
    // its open and close), and by a stop, whose request the thread may take
    // while it waits for a slow format's block. A device that would not close
    // may signal it later on: the thread only wakes once more for nothing.
    HANDLE m_wakeEvent = nullptr;
    // Such a device, or a play thread that was terminated, may still reach
    // the wake event: it is never closed then.
    std::atomic<bool> m_wakeEventHeld{false};
    std::atomic<int> m_state{kIdle};
    UINT m_deviceIndex = 0;
    std::unique_ptr<CWaveForm> m_waveFile;
    int m_lastBlockSize = 0;
    int* m_blockCounter = nullptr; // the wave file's: which header goes with the block just read
    std::unique_ptr<WAVEHDR, LocalFreeHeader> m_headers[2];
    WAVEFORMATEX m_format{};
    HWAVEOUT m_device = nullptr;
    CLibraryThread m_threadHold;
    // A device whose close failed may still hold the headers, and they point
    // into the file object's block buffers: all three are kept together
    // until the device closes.
    struct UnclosedDevice {
        HWAVEOUT device;
        std::unique_ptr<WAVEHDR, LocalFreeHeader> headers[2];
        std::unique_ptr<CWaveForm> waveFile;
        bool Close();
    };
    CKeeper m_keeper;
    CRITICAL_SECTION m_exportLock;
};

// The library's one playback engine, defined with the other global objects in
// frame/Globals.cpp; the detach destroys it, and only once it has stopped it
// (see CKeptObject).
extern CWavePlayer& g_Player;
