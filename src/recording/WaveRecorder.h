// SPDX-License-Identifier: MIT
#pragma once

#include "lifecycle/Keeper.h"
#include "lifecycle/LibraryThread.h"
#include "platform/platform.h"
#include "recording/CaptureBuffers.h"
#include "recording/RecordingFile.h"

#include <atomic>
#include <memory>
#include <vector>

// Records from the wave mapper into a new WAVE file of the PCM format a start
// asks for (8000 Hz, 16 bits, one channel unless told otherwise): its header
// declaring no sound at the start, every full buffer of 60 ms (960 bytes at
// 8000 Hz 16-bit mono) appended by the capture thread, and the two sizes
// patched at the stop.
class CWaveRecorder {
public:
    CWaveRecorder();
    virtual ~CWaveRecorder();
    CWaveRecorder(const CWaveRecorder&) = delete;
    CWaveRecorder& operator=(const CWaveRecorder&) = delete;

    // 1 recording, 0 a thread or device step failed, -1 the file cannot be
    // created or its header cannot be written. The format is one that
    // RecordingHeader::IsRecordable takes.
    int StartRecordFile(const char* fileName,
                        const RecordingHeader::Format& format = RecordingHeader::kDefaultFormat);
    // 1 the file is complete and closed; -1 a file error, or the file is
    // complete and closed but a write of captured data failed.
    int StopRecordFile();
    int IsRecording() const { return m_recording.load(); }

    // For the process-exit detach, when the capture thread is already gone
    // and other threads may hold locks: completes the file with kernel32-level
    // file calls only (sizes from the file's length), closes it, and only then
    // writes the stop's records. Waits on nothing. Whatever moment the exit
    // caught (a start past its header, a stop in its pause or past the
    // device's close), a file with a whole header that is still open is
    // completed. 0 when nothing was recording, else what a stop returns.
    int CompleteAtProcessExit();
    // From now on a stop waits for the capture thread as long as it can
    // still end by itself: the library must never go with one left behind.
    void WaitForCaptureThreadToEnd() { m_waitForThreadEnd = true; }
    // Closes the devices whose close failed at an earlier stop, and frees the
    // buffers each held once it is closed. Called by each start and when the
    // library goes.
    void CloseKeptDevices() { m_keeper.CloseDevices(); }

    // Starts and stops of the recording exports take this lock, so two host
    // threads cannot both pass the recording check; the status does not.
    CRITICAL_SECTION& ExportLock() { return m_exportsLock; }

    static constexpr DWORD kBufferCount = 10;
    static constexpr DWORD kBufferMs = 60;
    // A buffer's bytes: 60 ms of the format in whole sample frames.
    static DWORD BufferSizeFor(const RecordingHeader::Format& format) {
        return format.samplesPerSec * kBufferMs / 1000 * format.BlockAlign();
    }

private:
    // Tests drive single steps through CWaveRecorderTestPeer
    // (tests/support/TestPeers.h).
    friend class CWaveRecorderTestPeer;

    // The device and thread steps: 1 done, 0 failed (with a record).
    int StartThread();
    int StopThread();
    int OpenDevice();
    int CloseDevice();
    int PrepareBuffers();
    int ReleaseBuffers();
    int StartCapture();
    int ResetCapture();
    static DWORD CaptureThreadProc(CRecordingFile* output);

    // The count of bytes recorded goes on from `bytes`, to reach the limit of
    // the size fields without recording for days.
    void SetBytesRecorded(DWORD bytes) { m_output->SetBytesRecorded(bytes); }

    static DWORD WINAPI CaptureThreadEntry(LPVOID parameter);
    static void OnBufferDone(CRecordingFile* output, HWAVEIN device, LPWAVEHDR header);
    void NewOutput(const RecordingHeader::Format& format);
    bool WaitForThreadQueue();
    void TerminateCaptureThread();
    bool ReclaimHeaders();
    void FreeBuffers(bool report);
    void SettleBuffers();
    void UndoDevice();

    std::unique_ptr<CRecordingFile> m_output;
    RecordingHeader::Format m_format = RecordingHeader::kDefaultFormat;
    DWORD m_bufferSize = BufferSizeFor(RecordingHeader::kDefaultFormat);
    HWAVEIN m_device = nullptr;
    DWORD m_threadId = 0;
    HANDLE m_thread = nullptr;
    std::unique_ptr<CCaptureBuffers> m_buffers;
    int m_threadRunning = 0;
    int m_deviceOpen = 0;
    int m_buffersPrepared = 0;
    std::atomic<int> m_recording{0};

    CLibraryThread m_threadHold;
    // Set when the stop had to terminate the capture thread: what it may
    // still reach (this recording's file object and buffers) is never freed
    // or reused.
    bool m_threadTerminated = false;
    bool m_waitForThreadEnd = false;
    // A device whose close failed, with the buffers it may still write into:
    // kept until it closes, the buffers freed only then.
    struct UnclosedDevice {
        HWAVEIN device;
        std::unique_ptr<CCaptureBuffers> buffers;
        bool Close();
    };
    // The device of this recording whose close failed, until it is kept.
    HWAVEIN m_unclosedDevice = nullptr;
    CKeeper m_keeper;
    CRITICAL_SECTION m_exportsLock;
};

// The library's one recording engine, defined with the other global objects in
// frame/Globals.cpp; the detach destroys it, and only once it has stopped it
// (see CKeptObject).
extern CWaveRecorder& g_Recorder;
