// SPDX-License-Identifier: MIT
#include "playback/WavePlayer.h"
#include "log/LogFile.h"
#include "log/LogText.h"
#include "wave/PlaybackRate.h"
#include "wave/PlausibleFormat.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kInDevice = WHDR_DONE | WHDR_PREPARED | WHDR_INQUEUE; // 0x13
constexpr DWORD kStopTimeoutMs = 15000;
constexpr DWORD kResetAfterMs = 3000;  // the least time a block gets before a reset
constexpr DWORD kResetMarginMs = 1000; // beyond its own play time
constexpr DWORD kEndPauseMs = 2000;    // the least pause after the last block
constexpr DWORD kEndMarginMs = 200;    // beyond the play time still needed
constexpr DWORD kStopPollMs = 10;
constexpr DWORD kResetPollMs = 20; // from the deadline on, for a device that keeps its header
constexpr DWORD kDeviceErrorSleepMs = 50;
constexpr DWORD kStatusPollMs = 200;
// A play thread that has set idle has only its return left.
constexpr DWORD kEndedThreadWaitMs = 1000;
constexpr int kDeviceErrorExitCode = -2;

} // namespace

CWavePlayer::CWavePlayer() {
    for (auto& header : m_headers)
        header.reset(static_cast<WAVEHDR*>(LocalAlloc(LMEM_ZEROINIT, sizeof(WAVEHDR))));
    m_stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    InitializeCriticalSection(&m_exportLock);
}

// Leaves a running thread, a stored thread handle and an open device alone:
// the detach stops the playback before the globals go. The file object of a
// play thread that had to be terminated is kept: the thread may still reach it.
CWavePlayer::~CWavePlayer() {
    m_waveFile.release();
    if (m_stopEvent)
        CloseHandle(m_stopEvent);
    if (m_wakeEvent && !m_device && !m_wakeEventHeld)
        CloseHandle(m_wakeEvent);
    // The export lock is never deleted: a host thread may still wait on it.
}

int CWavePlayer::SelectDevice(const char* pattern, int mustContain) {
    const UINT count = waveOutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        WAVEOUTCAPSA caps;
        // A device whose capabilities cannot be read is compared as an empty name.
        if (waveOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
            caps.szPname[0] = '\0';
        caps.szPname[MAXPNAMELEN - 1] = '\0';
        const bool contains = std::strstr(_strupr(caps.szPname), pattern) != nullptr;
        if (mustContain ? contains : !contains) {
            m_deviceIndex = id;
            return 0;
        }
    }
    m_deviceIndex = count; // no device qualifies: the open refuses this index
    return 0;
}

int CWavePlayer::StartPlayFile(const char* fileName) {
    if (!fileName)
        fileName = "";
    CloseEndedThread();
    // A play thread that will not stop still owns the headers and the device:
    // a second one must never run beside it.
    if (m_state == kPlaying && StopPlayFile() != 0)
        return 1;
    m_keeper.CloseDevices();
    for (auto& header : m_headers) {
        if (header)
            std::memset(header.get(), 0, sizeof(WAVEHDR));
    }

    // A start that an exception ended may have left its file object, and
    // its file open, behind.
    CloseWaveFile();
    m_waveFile = std::make_unique<CWaveForm>(fileName);
    m_blockCounter = &m_waveFile->BlockCounter();
    int rc = m_waveFile->OpenWaveForm(m_format);
    if (rc != 0) {
        g_Log.Write(LogText::kPlayFileOpenError, fileName, rc);
        CloseWaveFile();
        return rc;
    }
    // Without both headers and the two events there is nothing to drive a
    // device with.
    const bool complete = m_headers[0] && m_headers[1] && m_stopEvent && m_wakeEvent;
    rc = complete ? OpenDevice(m_format, m_waveFile->ExtraFormatBytes()) : 1;
    if (rc != 0) {
        g_Log.Write(LogText::kPlayDeviceOpenError, rc);
        CloseWaveFile();
        return rc;
    }

    // A stop that an earlier thread never took must not end this playback.
    ResetEvent(m_stopEvent);
    // Playing before the thread runs, as the thread sets idle at its end.
    m_state = kPlaying;
    m_playThread = m_threadHold.Create(PlayThreadProc, this, nullptr);
    if (!m_playThread) {
        m_state = kIdle;
        CloseDevice();
        CloseWaveFile();
        return 1;
    }
    return 0;
}

int CWavePlayer::StopPlayFile() {
    if (m_state == kIdle) {
        CloseEndedThread();
        return 0;
    }
    if (!m_stopEvent)
        return 5;
    SetEvent(m_stopEvent);
    SetEvent(m_wakeEvent);
    if (!m_playThread)
        return 5;
    if (WaitForSingleObject(m_playThread, kStopTimeoutMs) != WAIT_OBJECT_0) {
        g_Log.Write("\n Unable to terminate Play Thread");
        return 1;
    }
    m_state = kIdle;
    // The thread may have ended by itself without taking the request.
    ResetEvent(m_stopEvent);
    CloseHandle(m_playThread);
    m_playThread = nullptr;
    return 0;
}

int CWavePlayer::WaitPlayEnd(unsigned timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (m_state == kIdle)
            return 0;
        if (GetTickCount() - start > timeoutMs)
            return 1;
        Sleep(kStatusPollMs);
    }
}

void CWavePlayer::StopForGood() {
    if (StopPlayFile() == 1)
        TerminatePlayThread();
    m_keeper.CloseDevices();
}

// What the terminated thread may still reach (its file object, the headers
// and the device's buffers) is kept for good.
void CWavePlayer::TerminatePlayThread() {
    m_threadHold.Terminate(m_playThread);
    CloseHandle(m_playThread);
    m_playThread = nullptr;
    m_keeper.KeepForGood(std::move(m_waveFile));
    for (auto& header : m_headers)
        m_keeper.KeepForGood(std::move(header));
    m_wakeEventHeld = true;
    m_state = kIdle;
}

int CWavePlayer::OpenDevice(const WAVEFORMATEX& format, const std::vector<BYTE>& extraFormat) {
    // The device reads cbSize extra bytes behind the record: they follow it
    // here, and it never announces more than there are.
    WAVEFORMATEX head = format;
    head.cbSize = static_cast<WORD>(std::min<size_t>(format.cbSize, extraFormat.size()));
    std::vector<BYTE> complete(reinterpret_cast<const BYTE*>(&head),
                               reinterpret_cast<const BYTE*>(&head) + sizeof head);
    complete.insert(complete.end(), extraFormat.begin(), extraFormat.begin() + head.cbSize);
    // An implausible format is refused here as a device would refuse it,
    // before any system converter or audio server sees it.
    HWAVEOUT device = nullptr;
    if (!IsPlausibleFormat(head) ||
        waveOutOpen(&device, m_deviceIndex, reinterpret_cast<const WAVEFORMATEX*>(complete.data()),
                    reinterpret_cast<DWORD_PTR>(m_wakeEvent), 0,
                    CALLBACK_EVENT) != MMSYSERR_NOERROR)
        return 1;
    m_device = device;
    return 0;
}

int CWavePlayer::CloseDevice() {
    if (m_device) {
        waveOutClose(m_device);
        m_device = nullptr;
    }
    return 0;
}

int CWavePlayer::QueueBlock(CWaveForm& file) {
    m_lastBlockSize = file.ReadBlock();
    if (m_lastBlockSize <= 0)
        return -1;
    const int i = *m_blockCounter % 2;
    WAVEHDR& header = *m_headers[i];
    FillHeader(header);
    if (waveOutPrepareHeader(m_device, &header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
        return -1;
    if (waveOutWrite(m_device, &header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
        return -1;
    return i;
}

void CWavePlayer::FillHeader(WAVEHDR& header) {
    header.lpData = m_waveFile->NextBuffer();
    header.dwBufferLength = static_cast<DWORD>(m_lastBlockSize);
    header.dwBytesRecorded = 0;
    header.dwUser = 0;
    header.dwFlags = 0;
    header.dwLoops = 1;
    header.lpNext = nullptr;
    header.reserved = 0;
}

DWORD WINAPI CWavePlayer::PlayThreadProc(LPVOID parameter) {
    auto* const player = static_cast<CWavePlayer*>(parameter);
    // A fault while streaming ends the playback like a device error,
    // clean-up included.
    int exitCode = kDeviceErrorExitCode;
    CLibraryThread::Run("kx-play", "\nException  PlayThreadProc",
                        [player, &exitCode] { exitCode = player->Stream(); });
    player->CleanUp();
    return player->m_threadHold.Exit(static_cast<DWORD>(exitCode));
}

int CWavePlayer::Stream() {
    QueueBlock(*m_waveFile);
    QueueBlock(*m_waveFile);
    int i = 0;
    for (;;) {
        if (HeaderFlags(*m_headers[i]) & kInDevice) {
            const WaitResult waited = WaitForHeader(i);
            if (waited == kDeviceError)
                return kDeviceErrorExitCode;
            if (waited == kStopped)
                return 0;
            const int j = QueueBlock(*m_waveFile);
            if (j == -1) { // end of the data, or an error
                EndPause(1 - i);
                return 0;
            }
            i = j;
        } else if (!(HeaderFlags(*m_headers[1 - i]) & kInDevice)) {
            // Nothing in the device: an empty file, or its first blocks could
            // not be queued. It ends like any other.
            EndPause(1 - i);
            return 0;
        }
        i = (i + 1) % 2;
        if (WaitForSingleObject(m_stopEvent, kStopPollMs) == WAIT_OBJECT_0)
            return 0;
    }
}

CWavePlayer::WaitResult CWavePlayer::WaitForHeader(int i) {
    WAVEHDR& header = *m_headers[i];
    MMRESULT result = waveOutUnprepareHeader(m_device, &header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR && result != WAVERR_STILLPLAYING) {
        Sleep(kDeviceErrorSleepMs);
        return kDeviceError;
    }
    // A slow format's block plays longer than 3000 ms: it gets its own play
    // time and a margin before the device is reset, and a stop is taken from
    // 3000 ms on so that stopping takes no longer than with any other format.
    const DWORD resetAfter =
        std::max(kResetAfterMs, PlayTimeMs(header.dwBufferLength) + kResetMarginMs);
    const DWORD start = GetTickCount();
    // The thread sleeps until the block is back, up to the moment a stop may
    // be taken (a stop wakes it then) and on to the deadline.
    for (DWORD waited = 0; result == WAVERR_STILLPLAYING && waited <= resetAfter;
         waited = GetTickCount() - start) {
        if (waited > kResetAfterMs && StopRequested())
            return kStopped;
        const DWORD until = waited <= kResetAfterMs ? kResetAfterMs : resetAfter;
        result = AwaitHeader(header, until - waited + 1);
    }
    // From the deadline on the device is reset until it lets the header go.
    while (result == WAVERR_STILLPLAYING) {
        waveOutReset(m_device);
        result = waveOutUnprepareHeader(m_device, &header, sizeof(WAVEHDR));
        Sleep(kResetPollMs);
    }
    // After an error the device may still hold the header: it is never
    // refilled while it might play, and the playback ends as after any
    // other device error.
    if (result != MMSYSERR_NOERROR) {
        Sleep(kDeviceErrorSleepMs);
        return kDeviceError;
    }
    return kReturned;
}

// The wake event may have been signalled for the other header, or for an
// earlier one: the header itself says whether it is back.
MMRESULT CWavePlayer::AwaitHeader(WAVEHDR& header, DWORD ms) {
    WaitForSingleObject(m_wakeEvent, ms);
    return waveOutUnprepareHeader(m_device, &header, sizeof(WAVEHDR));
}

// The block on header `last` has only just started when the end of the data
// is seen: it gets its whole play time and a margin before the clean-up's
// reset, and at least 2000 ms. A stop ends the pause once 2000 ms are over.
void CWavePlayer::EndPause(int last) {
    Sleep(kEndPauseMs);
    const WAVEHDR& header = *m_headers[last];
    const DWORD needed =
        (HeaderFlags(header) & WHDR_INQUEUE) ? PlayTimeMs(header.dwBufferLength) + kEndMarginMs : 0;
    if (needed > kEndPauseMs)
        WaitForSingleObject(m_stopEvent, needed - kEndPauseMs);
}

void CWavePlayer::CleanUp() {
    waveOutReset(m_device);
    if (m_waveFile->CloseWaveForm() != 0)
        g_Log.Write("CloseWaveForm FAILED");
    if (m_device && waveOutClose(m_device) != MMSYSERR_NOERROR)
        KeepWithUnclosedDevice();
    else
        m_waveFile.reset();
    m_device = nullptr;
    m_blockCounter = nullptr;
    m_state = kIdle; // last: from here on a start may use every field again
}

// The next playback gets headers of its own; without them its start fails
// like one whose headers could not be made at first.
void CWavePlayer::KeepWithUnclosedDevice() {
    m_keeper.KeepUntilClosed(UnclosedDevice{
        m_device, {std::move(m_headers[0]), std::move(m_headers[1])}, std::move(m_waveFile)});
    for (auto& header : m_headers)
        header.reset(static_cast<WAVEHDR*>(LocalAlloc(LMEM_ZEROINIT, sizeof(WAVEHDR))));
    m_wakeEventHeld = true;
}

// A device that closes gives back its headers and the file object.
bool CWavePlayer::UnclosedDevice::Close() {
    waveOutReset(device);
    for (auto& header : headers)
        waveOutUnprepareHeader(device, header.get(), sizeof(WAVEHDR));
    return waveOutClose(device) == MMSYSERR_NOERROR;
}

DWORD CWavePlayer::PlayTimeMs(DWORD bytes) const {
    const DWORD rate = PlaybackByteRate(m_format);
    return rate ? static_cast<DWORD>((static_cast<ULONGLONG>(bytes) * 1000 + rate - 1) / rate) : 0;
}

bool CWavePlayer::StopRequested() { return WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0; }

// The thread has set idle: it is on its way out, and gives back its hold on
// the library before the next one takes one.
void CWavePlayer::CloseEndedThread() {
    if (m_state == kIdle && m_playThread) {
        WaitForSingleObject(m_playThread, kEndedThreadWaitMs);
        CloseHandle(m_playThread);
        m_playThread = nullptr;
    }
}

void CWavePlayer::CloseWaveFile() {
    m_waveFile.reset(); // closes the file if it is open
    m_blockCounter = nullptr;
}
