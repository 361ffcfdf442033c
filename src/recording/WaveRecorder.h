#pragma once

#include "platform/platform.h"

#include <atomic>

// Records from the wave mapper into a new WAVE file of fixed format (PCM,
// 8000 Hz, 16 bits, one channel): a 44-byte header with zero sizes at the
// start, every full 960-byte buffer appended by the capture thread, and the
// two sizes patched at the stop.
class CWaveRecorder {
public:
    CWaveRecorder();
    virtual ~CWaveRecorder();
    CWaveRecorder(const CWaveRecorder&) = delete;
    CWaveRecorder& operator=(const CWaveRecorder&) = delete;

    // 1 recording, 0 a thread or device step failed, -1 the file cannot be
    // created or its header cannot be written.
    int StartRecordFile(const char* fileName);
    // 1 the file is complete and closed, -1 a file error.
    int StopRecordFile();
    int IsRecording() const { return m_recording.load(); }

    // The device and thread steps: 1 done, 0 failed (with a record).
    int StartThread();
    int StopThread();
    int OpenDevice();
    int CloseDevice();
    int PrepareBuffers();
    int ReleaseBuffers();
    int StartCapture();
    int ResetCapture();
    static DWORD CaptureThreadProc(CWaveRecorder* recorder);

    // For the process-exit detach, when the capture thread is already gone
    // and other threads may hold locks: completes the file with kernel32-level
    // file calls only (sizes from the file's length), closes it, and only then
    // writes the stop's records. Waits on nothing. 0 when not recording, else
    // what a stop returns.
    int CompleteAtProcessExit();

    // Starts and stops of the recording exports take this lock, so two host
    // threads cannot both pass the recording check; the status does not.
    CRITICAL_SECTION& ExportLock() { return m_exportsLock; }

    // Test hook: the count of bytes recorded goes on from `bytes`, to reach
    // the limit of the size fields without recording for days.
    void SetBytesRecorded(DWORD bytes) { m_bytesRecorded.store(bytes); }

    static constexpr DWORD kBufferCount = 10;
    static constexpr DWORD kBufferSize = 960;
    static constexpr DWORD kHeaderSize = 44;

private:
    static DWORD WINAPI CaptureThreadEntry(LPVOID parameter);
    void OnBufferDone(HWAVEIN device, LPWAVEHDR header);
    bool AppendBuffer(const WAVEHDR& header);
    void CloseLeftFile();
    bool WaitForThreadQueue();
    void TerminateCaptureThread();
    bool ReclaimHeaders();
    void FreeBuffers(bool report);
    void DiscardBuffers();
    void UndoPreparation();
    void CompleteFile();
    void PatchSizes(DWORD dataBytes);

    CFile m_file;
    std::atomic<DWORD> m_bytesRecorded{0};
    WORD m_channels = 1;
    DWORD m_samplesPerSec = 8000;
    WORD m_bitsPerSample = 16;
    HWAVEIN m_device = nullptr;
    DWORD m_threadId = 0;
    HANDLE m_thread = nullptr;
    WAVEHDR* m_headers = nullptr;
    int m_threadRunning = 0;
    int m_deviceOpen = 0;
    int m_buffersPrepared = 0;
    std::atomic<int> m_recording{0};

    // Headers given to the device whose MM_WIM_DATA the capture thread has not
    // handled yet; the buffers are freed only when it is 0.
    std::atomic<int> m_headersOut{0};
    // The capture thread's hold on the library, taken before it is created;
    // whoever ends the thread (itself, or a terminating stop) releases it.
    std::atomic<void*> m_threadModule{nullptr};
    // Set by the capture thread once it stopped appending after a failed write
    // or at the size limit; cleared by the start.
    bool m_appendStopped = false;
    CRITICAL_SECTION m_exportsLock;
};
