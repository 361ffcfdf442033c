// SPDX-License-Identifier: MIT
#include "frame/LibraryApp.h"
#include "frame/Globals.h"
#include "recording/RecordExports.h"

#include <atomic>

namespace {

// Trivially destructible, so they answer even after the static objects went.
std::atomic<bool> g_detached{false};
std::atomic<int> g_callsRunning{0};

// How long the detach waits for another thread's start or stop to finish.
constexpr DWORD kExportLockWaitMs = 20000;
constexpr DWORD kExportLockPollMs = 10;

// Takes `lock` unless another thread keeps it until kExportLockWaitMs after
// `begun`: at exit() that thread may be blocked for good.
bool EnterBefore(CRITICAL_SECTION& lock, DWORD begun) {
    while (!TryEnterCriticalSection(&lock)) {
        if (GetTickCount() - begun >= kExportLockWaitMs)
            return false;
        Sleep(kExportLockPollMs);
    }
    return true;
}

// How long the detach waits for calls that were already past their check
// (a status call, a start or stop that waited on its lock) to return.
constexpr DWORD kCallsDrainMs = 1000;

// True once no exported function is running any more, so that the engines
// can go: every call that comes later sees the detach and touches nothing.
bool CallsDrained() {
    const DWORD begun = GetTickCount();
    while (g_callsRunning.load() != 0) {
        if (GetTickCount() - begun >= kCallsDrainMs)
            return false;
        Sleep(kExportLockPollMs);
    }
    return true;
}

} // namespace

int CLibraryApp::InitInstance() {
    CWinApp::InitInstance();
    g_Log.Open();
    g_Log.Write("Log Started");
    return 1;
}

int CLibraryApp::ExitInstance() {
    g_Log.Write("Log Exited");
    g_Log.Close();
    return CWinApp::ExitInstance();
}

void LibraryAttach() { theApp.InitInstance(); }

LibraryPhase CurrentPhase() {
    if (g_detached.load())
        return LibraryPhase::detached;
    return IsForkedChild() ? LibraryPhase::forkedChild : LibraryPhase::inService;
}

void KeepCodeForAbandonedThread() {
    if (KeepLibraryMapped())
        g_Log.Write("%s", kLibraryKeptRecord);
}

// Each engine is stopped under its own export lock, as a host's stop would
// be: the playback first, so that no play thread runs on once the globals
// go, then the recording, which is completed; a device whose close failed
// earlier is closed now, so that no device thread writes into the library's
// buffers after the unload. An engine whose lock another thread keeps (at
// exit() it may be inside a call for good) is left alone, never destroyed,
// and so are both while a call that began before the detach still runs.
// From the start of the detach on, the six functions answer at once.
//
// At a Windows process exit the other threads are gone already and nothing
// may wait on them.
void LibraryDetach(bool processExit) {
    if (processExit) {
        g_detached.store(true);
        g_Log.SetProcessExiting();
        CompleteRecordingAtDetach(true);
        theApp.ExitInstance();
        return;
    }
    // New calls answer at once from here on, so that host threads calling
    // in a loop let go of the export locks.
    g_detached.store(true);
    const DWORD begun = GetTickCount();
    const bool player = EnterBefore(g_Player.ExportLock(), begun);
    if (player) {
        g_Player.StopBeforeUnload();
        g_Player.CloseUnclosedDevices();
    }
    const bool recorder = EnterBefore(g_Recorder.ExportLock(), begun);
    if (recorder) {
        g_Recorder.PrepareForUnload();
        CompleteRecordingAtDetach(false);
        g_Recorder.CloseUnclosedDevices();
    }
    if (recorder)
        LeaveCriticalSection(&g_Recorder.ExportLock());
    if (player)
        LeaveCriticalSection(&g_Player.ExportLock());
    theApp.ExitInstance();
    if (!CallsDrained())
        return;
    if (player)
        DestroyPlayer();
    if (recorder)
        DestroyRecorder();
}

CExportCall::CExportCall() { g_callsRunning.fetch_add(1); }

CExportCall::~CExportCall() { g_callsRunning.fetch_sub(1); }

// Whatever the parent was doing, no lock of the library is held in the child.
// A child of a parent that was using the library leaves the day's file, the
// engines and their devices to the parent.
bool LibraryForkedChild() {
    const bool inUse =
        g_callsRunning.load() > 0 || g_Player.IsPlaying() || g_Recorder.IsRecording();
    g_Log.ContinueInForkedChild(inUse);
    ResetLockInForkedChild(&g_Player.ExportLock());
    ResetLockInForkedChild(&g_Recorder.ExportLock());
    return inUse;
}
