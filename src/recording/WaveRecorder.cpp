#include "recording/WaveRecorder.h"
#include "frame/Globals.h"
#include "log/LogText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// The format chunk's size and body: PCM, 1 channel, 8000 samples/s,
// 16000 bytes/s, block alignment 2, 16 bits. Written as it stands, not built
// from the recorder's fields.
const unsigned char kFormatBlock[20] = {16, 0, 0,    0,    1, 0, 1, 0, 0x40, 0x1F,
                                        0,  0, 0x80, 0x3E, 0, 0, 2, 0, 16,   0};

constexpr DWORD kStopPauseMs = 1500;
constexpr int kThreadStopPolls = 50;
constexpr DWORD kThreadStopPollMs = 10;
constexpr DWORD kThreadQueueWaitMs = 1000;
constexpr int kReclaimPolls = 100;
constexpr DWORD kReclaimPollMs = 10;
constexpr DWORD kUnprepareFailureMs = 100;
constexpr DWORD kRiffSizeBase = 36; // RIFF size = 36 + data size
constexpr uint64_t kSizeFieldMax = 0xFFFFFFFFu;
// Posted to see whether the capture thread's queue exists; the thread
// ignores it.
constexpr UINT kQueueProbe = WM_USER;

void WriteLe32(CFile& file, DWORD value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    file.Write(bytes, sizeof bytes);
}

} // namespace

CWaveRecorder::CWaveRecorder() { InitializeCriticalSection(&m_exportsLock); }

// Closes the file if it is still open (the CFile member does that); capture,
// buffers and device are left as they are.
CWaveRecorder::~CWaveRecorder() { DeleteCriticalSection(&m_exportsLock); }

int CWaveRecorder::StartRecordFile(const char* fileName) {
    m_recording.store(1);
    m_bytesRecorded.store(0);
    m_appendStopped = false;
    m_headersOut.store(0);
    CloseLeftFile();
    try {
        m_file.Open(fileName, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone);
        m_file.Write("RIFF", 4);
        WriteLe32(m_file, 0);
        m_file.Write("WAVEfmt ", 8);
        m_file.Write(kFormatBlock, sizeof kFormatBlock);
        m_file.Write("data", 4);
        WriteLe32(m_file, 0);
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
        UndoPreparation();
        CloseDevice();
        StopThread();
        DiscardBuffers();
        return 0;
    }
    if (!StartCapture()) {
        ReleaseBuffers();
        CloseDevice();
        StopThread();
        DiscardBuffers();
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
    CloseDevice();
    StopThread();
    DiscardBuffers();
    try {
        CompleteFile();
    } catch (CFileException* e) {
        g_Log.Write(LogText::kRecordFileCloseError);
        e->Delete();
        return -1;
    }
    return 1;
}

int CWaveRecorder::StartThread() {
    if (m_threadRunning) {
        g_Log.Write(LogText::kRecThreadAlreadyStarted);
        return 0;
    }
    m_threadModule.store(AcquireModuleReference());
    m_thread = CreateThread(nullptr, 0, CaptureThreadEntry, this, 0, &m_threadId);
    if (!m_thread) {
        ReleaseModuleReference(m_threadModule.exchange(nullptr));
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
            if (poll == kThreadStopPolls) {
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
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = m_channels;
    format.nSamplesPerSec = m_samplesPerSec;
    format.nAvgBytesPerSec = m_bitsPerSample * m_channels * m_samplesPerSec / 8;
    format.nBlockAlign = static_cast<WORD>(m_bitsPerSample * m_channels / 8);
    format.wBitsPerSample = m_bitsPerSample;
    format.cbSize = 0;
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

int CWaveRecorder::CloseDevice() {
    if (!m_deviceOpen || !m_device) {
        g_Log.Write(LogText::kRecDeviceNotOpen);
        return 0;
    }
    const MMRESULT result = waveInClose(m_device);
    m_device = nullptr;
    m_deviceOpen = 0;
    if (result != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecCloseError);
        return 0;
    }
    return 1;
}

// A failure part-way leaves what was done so far for UndoPreparation.
int CWaveRecorder::PrepareBuffers() {
    if (m_buffersPrepared) {
        g_Log.Write(LogText::kRecBufferError);
        return 0;
    }
    if (waveInReset(m_device) != MMSYSERR_NOERROR) {
        g_Log.Write(LogText::kRecResetError);
        return 0;
    }
    m_headers = new WAVEHDR[kBufferCount]();
    for (DWORD i = 0; i < kBufferCount; ++i) {
        WAVEHDR& header = m_headers[i];
        std::memset(&header, 0, sizeof header);
        header.lpData = new char[kBufferSize];
        header.dwBufferLength = kBufferSize;
        if (waveInPrepareHeader(m_device, &header, sizeof header) != MMSYSERR_NOERROR) {
            g_Log.Write(LogText::kRecPrepareError);
            return 0;
        }
        if (waveInAddBuffer(m_device, &header, sizeof header) != MMSYSERR_NOERROR) {
            g_Log.Write(LogText::kRecAddBufferError);
            return 0;
        }
        m_headersOut.fetch_add(1);
    }
    m_buffersPrepared = 1;
    return 1;
}

int CWaveRecorder::ReleaseBuffers() {
    if (!m_buffersPrepared || !m_headers) {
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

DWORD WINAPI CWaveRecorder::CaptureThreadEntry(LPVOID parameter) {
    auto* recorder = static_cast<CWaveRecorder*>(parameter);
    DWORD exitCode = 0;
    try {
        exitCode = CaptureThreadProc(recorder);
    } catch (...) {
        // Nothing may cross the thread's entry; the stop finds the thread ended.
    }
    return ExitLibraryThread(recorder->m_threadModule.exchange(nullptr), exitCode);
}

DWORD CWaveRecorder::CaptureThreadProc(CWaveRecorder* recorder) {
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
            recorder->OnBufferDone(reinterpret_cast<HWAVEIN>(msg.wParam),
                                   reinterpret_cast<LPWAVEHDR>(msg.lParam));
            break;
        default:
            break;
        }
    }
    return static_cast<DWORD>(msg.wParam);
}

// A full buffer is appended and given back to the device that returned it;
// any other (the part-filled or empty ones of a reset) is dropped.
void CWaveRecorder::OnBufferDone(HWAVEIN device, LPWAVEHDR header) {
    waveInUnprepareHeader(device, header, sizeof(WAVEHDR));
    if (header->dwBytesRecorded == kBufferSize && AppendBuffer(*header)) {
        waveInPrepareHeader(device, header, sizeof(WAVEHDR));
        if (waveInAddBuffer(device, header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
            return; // the device holds it again
    }
    m_headersOut.fetch_sub(1);
}

// Once a write has failed, or the size fields would overflow, nothing more is
// appended (with one record), so the file always ends on a whole buffer that
// the count includes.
bool CWaveRecorder::AppendBuffer(const WAVEHDR& header) {
    if (m_appendStopped)
        return false;
    if (kRiffSizeBase + uint64_t{m_bytesRecorded.load()} + kBufferSize > kSizeFieldMax) {
        m_appendStopped = true;
        g_Log.Write(LogText::kRecordFileTooLarge);
        return false;
    }
    char staging[kBufferSize];
    std::memcpy(staging, header.lpData, kBufferSize);
    try {
        m_file.Write(staging, kBufferSize);
    } catch (CFileException* e) {
        e->Delete();
        m_appendStopped = true;
        g_Log.Write(LogText::kRecordFileWriteError);
        return false;
    }
    m_bytesRecorded.fetch_add(kBufferSize);
    return true;
}

// A failed stop leaves its file open; it is closed, silently, before the next
// file is opened on the same object.
void CWaveRecorder::CloseLeftFile() {
    if (!m_file.IsOpen())
        return;
    try {
        m_file.Close();
    } catch (CFileException* e) {
        e->Delete();
    }
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

// The thread will not release its hold on the library itself any more.
void CWaveRecorder::TerminateCaptureThread() {
    TerminateThread(m_thread, 0);
    ReleaseModuleReference(m_threadModule.exchange(nullptr));
}

// Waits, bounded, until the device has given back every header and the
// capture thread has handled each one; a reset returns any header that the
// thread gave back to the device after an earlier reset. True when all are
// back.
bool CWaveRecorder::ReclaimHeaders() {
    for (int poll = 0; m_headersOut.load() > 0; ++poll) {
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
// `report`, each kept buffer costs 100 ms and a record. The array goes once
// no buffer is left.
void CWaveRecorder::FreeBuffers(bool report) {
    const bool allBack = ReclaimHeaders();
    bool allFreed = true;
    for (DWORD i = 0; i < kBufferCount; ++i) {
        WAVEHDR& header = m_headers[i];
        if (!header.lpData)
            continue; // never allocated, or freed by an earlier release
        if (!allBack ||
            waveInUnprepareHeader(m_device, &header, sizeof header) != MMSYSERR_NOERROR) {
            allFreed = false;
            if (report) {
                Sleep(kUnprepareFailureMs);
                g_Log.Write(LogText::kRecReleaseBufferError);
            }
            continue;
        }
        delete[] header.lpData;
        header.lpData = nullptr;
    }
    if (allFreed) {
        delete[] m_headers;
        m_headers = nullptr;
        m_buffersPrepared = 0;
    }
}

// The silent release of a preparation that failed part-way.
void CWaveRecorder::UndoPreparation() {
    if (m_headers)
        FreeBuffers(false);
}

// Once the device is closed and the capture thread has ended, nothing can
// reach the buffers any more: whatever a release had to keep goes now.
void CWaveRecorder::DiscardBuffers() {
    if (!m_headers)
        return;
    for (DWORD i = 0; i < kBufferCount; ++i)
        delete[] m_headers[i].lpData;
    delete[] m_headers;
    m_headers = nullptr;
    m_buffersPrepared = 0;
    m_headersOut.store(0);
}

// A failed write may have left part of a buffer behind the counted data: the
// file is cut back to the header and the whole buffers.
void CWaveRecorder::CompleteFile() {
    const DWORD dataBytes = m_bytesRecorded.load();
    if (m_file.GetLength() > uint64_t{kHeaderSize} + dataBytes)
        m_file.SetLength(uint64_t{kHeaderSize} + dataBytes);
    PatchSizes(dataBytes);
    m_file.Close();
}

void CWaveRecorder::PatchSizes(DWORD dataBytes) {
    m_file.Seek(4, CFile::begin);
    WriteLe32(m_file, kRiffSizeBase + dataBytes);
    m_file.Seek(40, CFile::begin);
    WriteLe32(m_file, dataBytes);
}

int CWaveRecorder::CompleteAtProcessExit() {
    if (!m_recording.load())
        return 0;
    m_recording.store(0);
    int result = 1;
    try {
        const uint64_t length = m_file.GetLength();
        const uint64_t written = length > kHeaderSize ? length - kHeaderSize : 0;
        const uint64_t dataBytes =
            std::min<uint64_t>(written, kSizeFieldMax - kRiffSizeBase) / kBufferSize * kBufferSize;
        m_file.SetLength(kHeaderSize + dataBytes);
        PatchSizes(static_cast<DWORD>(dataBytes));
        m_file.Close();
    } catch (CFileException* e) {
        e->Delete();
        result = -1;
    }
    if (result < 0)
        g_Log.Write(LogText::kRecordFileCloseError);
    return result;
}
