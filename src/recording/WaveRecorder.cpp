// SPDX-License-Identifier: MIT
#include "recording/WaveRecorder.h"
#include "log/LogFile.h"
#include "log/LogText.h"

#include <cstring>

namespace {

constexpr DWORD kStopPauseMs = 1500;
constexpr int kThreadStopPolls = 50;
// When the library goes the capture thread is never given up on while it
// can still end by itself: its one blocking call, a file write, fails after
// 2 s.
constexpr int kLastThreadStopPolls = 500;
constexpr DWORD kThreadStopPollMs = 10;
constexpr DWORD kThreadQueueWaitMs = 1000;
constexpr int kReclaimPolls = 100;
constexpr DWORD kReclaimPollMs = 10;
constexpr DWORD kUnprepareFailureMs = 100;
// Posted to see whether the capture thread's queue exists; the thread
// ignores it.
constexpr UINT kQueueProbe = WM_USER;

} // namespace

CWaveRecorder::CWaveRecorder() { InitializeCriticalSection(&m_exportsLock); }

// Closes the file if it is still open (the file object does that); capture
// and device are left as they are, and what the keeper holds (buffers a
// device may still write into, what a terminated capture thread may still
// reach) is never freed.
CWaveRecorder::~CWaveRecorder() {
    // The export lock is never deleted: a host thread may still wait on it.
}

int CWaveRecorder::StartRecordFile(const char* fileName, const RecordingHeader::Format& format) {
    m_recording.store(1);
    m_keeper.CloseDevices();
    NewOutput(format);
    try {
        m_output->Create(fileName);
    } catch (CFileException* e) {
        g_Log.Write(LogText::kRecordFileOpenError);
        e->Delete();
        return -1;
    }
    if (!StartThread())
        return 0;
    if (!OpenDevice()) {
        StopThread();
        return 0;
    }
    if (!PrepareBuffers()) {
        if (m_buffers)
            FreeBuffers(false);
        UndoDevice();
        return 0;
    }
    if (!StartCapture()) {
        ReleaseBuffers();
        UndoDevice();
        return 0;
    }
    return 1;
}

int CWaveRecorder::StopRecordFile() {
    m_recording.store(0);
    ResetCapture();
    Sleep(kStopPauseMs);
    ReleaseBuffers();
    // The thread is stopped even when the close failed: the handle is gone
    // either way, and a later start must be able to record again.
    UndoDevice();
    try {
        m_output->Complete();
    } catch (CFileException* e) {
        g_Log.Write(LogText::kRecordFileCloseError);
        e->Delete();
        return -1;
    }
    // The file is complete and closed, but it lacks what the failed write
    // held and everything captured after it.
    return m_output->WriteFailed() ? -1 : 1;
}

int CWaveRecorder::StartThread() {
    if (m_threadRunning) {
        g_Log.Write(LogText::kRecThreadAlreadyStarted);
        return 0;
    }
    m_threadTerminated = false;
    m_thread = m_threadHold.Create(CaptureThreadEntry, this, &m_threadId);
    if (!m_thread) {
        g_Log.Write(LogText::kRecThreadOpenError);
        return 0;
    }
    // The device posts to the thread's queue, so the device is opened only
    // once the queue is there; then a quit posted by an undo reaches it too.
    if (!WaitForThreadQueue()) {
        TerminateCaptureThread();
        CloseHandle(m_thread);
        m_thread = nullptr;
        g_Log.Write(LogText::kRecThreadOpenError);
        return 0;
    }
    m_threadRunning = 1;
    return 1;
}

int CWaveRecorder::StopThread() {
    if (m_thread) {
        PostThreadMessageA(m_threadId, WM_QUIT, 0, 0);
        for (int poll = 1;; ++poll) {
            DWORD exitCode = STILL_ACTIVE;
            GetExitCodeThread(m_thread, &exitCode);
            if (exitCode != STILL_ACTIVE)
                break;
            Sleep(kThreadStopPollMs);
            if (poll == (m_waitForThreadEnd ? kLastThreadStopPolls : kThreadStopPolls)) {
                TerminateCaptureThread();
                g_Log.Write(LogText::kRecThreadStopped);
                break;
            }
        }
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    m_threadRunning = 0;
    return 1;
}

int CWaveRecorder::OpenDevice() {
    if (m_deviceOpen) {
        g_Log.Write(LogText::kRecDeviceAlreadyOpen);
        return 0;
    }
    // The format as the file's header declares it: plain PCM, or
    // WAVE_FORMAT_EXTENSIBLE where plain PCM cannot say it.
    WAVEFORMATEXTENSIBLE wave{};
    WAVEFORMATEX& format = wave.Format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = m_format.channels;
    format.nSamplesPerSec = m_format.samplesPerSec;
    format.nAvgBytesPerSec = m_format.BytesPerSecond();
    format.nBlockAlign = m_format.BlockAlign();
    format.wBitsPerSample = m_format.bitsPerSample;
    format.cbSize = 0;
    if (m_format.NeedsExtensible()) {
        format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.cbSize = sizeof wave - sizeof format;
        wave.Samples.wValidBitsPerSample = m_format.bitsPerSample;
        wave.dwChannelMask = m_format.ChannelMask();
        wave.SubFormat =
            GUID{WAVE_FORMAT_PCM, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    }
    if (waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY) != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecDeviceOpenError);
        return 0;
    }
    HWAVEIN device = nullptr;
    if (waveInOpen(&device, WAVE_MAPPER, &format, m_threadId, 0, CALLBACK_THREAD) !=
        MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecDeviceOpenError);
        return 0;
    }
    m_device = device;
    m_deviceOpen = 1;
    return 1;
}

// A device that cannot be closed keeps its handle for a later try, and with
// it every buffer it may still write into.
int CWaveRecorder::CloseDevice() {
    if (!m_deviceOpen || !m_device) {
        g_Log.Write(LogText::kRecDeviceNotOpen);
        return 0;
    }
    const MMRESULT result = waveInClose(m_device);
    if (result != MMSYSERR_NOERROR)
        m_unclosedDevice = m_device;
    m_device = nullptr;
    m_deviceOpen = 0;
    if (result != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecCloseError);
        return 0;
    }
    return 1;
}

// A failure part-way leaves what was done so far for the start's undo.
int CWaveRecorder::PrepareBuffers() {
    if (m_buffersPrepared) {
        g_Log.Write(LogText::kRecBufferError);
        return 0;
    }
    if (waveInReset(m_device) != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecResetError);
        return 0;
    }
    m_buffers = std::make_unique<CCaptureBuffers>(kBufferCount, m_bufferSize);
    for (DWORD i = 0; i < kBufferCount; ++i) {
        m_buffers->Allocate(i);
        WAVEHDR& header = m_buffers->Header(i);
        if (waveInPrepareHeader(m_device, &header, sizeof header) != MMSYSERR_NOERROR) {
            g_Log.Write(LogText::kRecPrepareError);
            return 0;
        }
        if (waveInAddBuffer(m_device, &header, sizeof header) != MMSYSERR_NOERROR) {
            g_Log.Write(LogText::kRecAddBufferError);
            return 0;
        }
        m_buffers->CountOut();
    }
    m_buffersPrepared = 1;
    return 1;
}

int CWaveRecorder::ReleaseBuffers() {
    if (!m_buffersPrepared || !m_buffers) {
        g_Log.Write(LogText::kRecReleaseBufferError);
        return 0;
    }
    FreeBuffers(true);
    return 1;
}

int CWaveRecorder::StartCapture() {
    if (!m_device) {
        g_Log.Write(LogText::kRecOpenDeviceError);
        return 0;
    }
    if (waveInStart(m_device) != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecStartError);
        return 0;
    }
    m_recording.store(1);
    return 1;
}

int CWaveRecorder::ResetCapture() {
    if (!m_device) {
        g_Log.Write(LogText::kRecAlreadyOpenError);
        return 0;
    }
    if (waveInReset(m_device) != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecCloseError);
        return 0;
    }
    return 1;
}

// The file is the one of the start that created this thread, taken once: a
// later start never changes what this thread writes to. A fault ends the
// capture: the stop finds the thread ended and completes the file with what
// was appended before it, but answers that captured sound was lost.
DWORD WINAPI CWaveRecorder::CaptureThreadEntry(LPVOID parameter) {
    auto* const recorder = static_cast<CWaveRecorder*>(parameter);
    CRecordingFile* const output = recorder->m_output.get();
    DWORD exitCode = 0;
    if (!CLibraryThread::Run("kx-capture", "\nException  CaptureThreadProc",
                             [output, &exitCode] { exitCode = CaptureThreadProc(output); }) &&
        output)
        output->CaptureLost();
    return recorder->m_threadHold.Exit(exitCode);
}

DWORD CWaveRecorder::CaptureThreadProc(CRecordingFile* output) {
    MSG msg{};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        switch (msg.message) {
        case MM_WIM_OPEN:
            g_Log.Write(LogText::kRecDeviceOpened);
            break;
        case MM_WIM_CLOSE:
            g_Log.Write(LogText::kRecDeviceClosed);
            break;
        case MM_WIM_DATA:
            OnBufferDone(output, reinterpret_cast<HWAVEIN>(msg.wParam),
                         reinterpret_cast<LPWAVEHDR>(msg.lParam));
            break;
        default:
            break;
        }
    }
    return static_cast<DWORD>(msg.wParam);
}

// A full buffer is appended and given back to the device that returned it;
// any other (the part-filled or empty ones of a reset) is dropped. The header
// is counted back against its own set of buffers, whose staging copy it
// goes through.
void CWaveRecorder::OnBufferDone(CRecordingFile* output, HWAVEIN device, LPWAVEHDR header) {
    waveInUnprepareHeader(device, header, sizeof(WAVEHDR));
    CCaptureBuffers& buffers = CCaptureBuffers::Of(*header);
    const DWORD size = buffers.Size();
    if (header->dwBytesRecorded == size && output) {
        char* const staging = buffers.Staging();
        std::memcpy(staging, header->lpData, size);
        if (output->Append(staging, size)) {
            waveInPrepareHeader(device, header, sizeof(WAVEHDR));
            if (waveInAddBuffer(device, header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
                return; // the device holds it again
        }
    }
    buffers.CountBack();
}

// The file object of an earlier recording goes, unless a terminated capture
// thread may still reach it.
void CWaveRecorder::NewOutput(const RecordingHeader::Format& format) {
    if (m_output && m_threadTerminated)
        m_keeper.KeepForGood(std::move(m_output));
    else if (m_output)
        m_output->CloseQuietly();
    m_output = std::make_unique<CRecordingFile>(format);
    m_format = format;
    m_bufferSize = BufferSizeFor(format);
}

// A successful post shows that the capture thread's queue exists.
bool CWaveRecorder::WaitForThreadQueue() {
    const DWORD begun = GetTickCount();
    while (!PostThreadMessageA(m_threadId, kQueueProbe, 0, 0)) {
        if (GetTickCount() - begun >= kThreadQueueWaitMs)
            return false;
        Sleep(1);
    }
    return true;
}

// On POSIX the thread may still be blocked in a call that returns into the
// library: what it may reach is kept for good (see NewOutput, SettleBuffers).
void CWaveRecorder::TerminateCaptureThread() {
    m_threadHold.Terminate(m_thread);
    m_threadTerminated = true;
}

// Waits, bounded, until the device has given back every header and the
// capture thread has handled each one; a reset returns any header that the
// thread gave back to the device after an earlier reset. True when all are
// back.
bool CWaveRecorder::ReclaimHeaders() {
    for (int poll = 0; m_buffers->Out() > 0; ++poll) {
        if (poll == kReclaimPolls)
            return false;
        if (m_device)
            waveInReset(m_device);
        Sleep(kReclaimPollMs);
    }
    return true;
}

// Unprepares and frees every buffer; one that cannot be unprepared is kept,
// and so is every one while a notification may still be on its way. With
// `report`, each kept buffer costs 100 ms and a record. The set goes once
// no buffer is left.
void CWaveRecorder::FreeBuffers(bool report) {
    const bool allBack = ReclaimHeaders();
    for (DWORD i = 0; i < m_buffers->Count(); ++i) {
        WAVEHDR& header = m_buffers->Header(i);
        if (!header.lpData)
            continue; // never allocated, or freed by an earlier release
        if (!allBack ||
            waveInUnprepareHeader(m_device, &header, sizeof header) != MMSYSERR_NOERROR) {
            if (report) {
                Sleep(kUnprepareFailureMs);
                g_Log.Write(LogText::kRecReleaseBufferError);
            }
            continue;
        }
        m_buffers->FreeData(i);
    }
    if (m_buffers->Empty()) {
        m_buffers.reset();
        m_buffersPrepared = 0;
    }
}

// Closes the device and ends the capture thread, then settles what the
// buffers became.
void CWaveRecorder::UndoDevice() {
    CloseDevice();
    StopThread();
    SettleBuffers();
}

// Buffers a release had to keep are freed once nothing can reach them: the
// device was closed and the capture thread ended by itself. Otherwise they
// stay allocated: held with a device that could not be closed, or for good
// when a terminated thread may still hold one.
void CWaveRecorder::SettleBuffers() {
    m_buffersPrepared = 0;
    if (m_buffers && m_threadTerminated)
        m_keeper.KeepForGood(std::move(m_buffers));
    if (m_unclosedDevice)
        m_keeper.KeepUntilClosed(UnclosedDevice{m_unclosedDevice, std::move(m_buffers)});
    m_unclosedDevice = nullptr;
    m_buffers.reset();
}

bool CWaveRecorder::UnclosedDevice::Close() {
    waveInReset(device);
    for (DWORD i = 0; buffers && i < buffers->Count(); ++i) {
        WAVEHDR& header = buffers->Header(i);
        if (header.lpData)
            waveInUnprepareHeader(device, &header, sizeof header);
    }
    return waveInClose(device) == MMSYSERR_NOERROR;
}

// The flag alone does not tell whether a file waits for its sizes: a stop
// clears it first, and the exit may catch that stop in its pause or after it
// closed the device. So the file itself is asked as well.
int CWaveRecorder::CompleteAtProcessExit() {
    const bool flagged = m_recording.exchange(0) != 0;
    if (!m_output || !(flagged || m_output->AwaitsCompletion()))
        return 0;
    if (m_output->CompleteFromLength(m_bufferSize))
        return m_output->WriteFailed() ? -1 : 1;
    g_Log.Write(LogText::kRecordFileCloseError);
    return -1;
}
