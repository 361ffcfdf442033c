// SPDX-License-Identifier: MIT
#include "lifecycle/Lifecycle.h"
#include "log/LogFile.h"

#include <atomic>

namespace {

// Trivially destructible and constant-initialised, so they answer even
// before the static objects are built and after they went.
std::atomic<bool> g_detached{false};
std::atomic<int> g_callsRunning{0};
// The application object, whose InitInstance and ExitInstance the attach and
// the detach call.
CWinApp* g_app = nullptr;

constexpr int kMaxEngines = 2;
EngineRegistration g_engines[kMaxEngines];
int g_engineCount = 0;

// How long the detach waits for another thread's start or stop to finish.
constexpr DWORD kExportLockWaitMs = 20000;
constexpr DWORD kExportLockPollMs = 10;
// How long it waits for calls already past their check (a status call, a
// start or stop that waited on its lock) to return.
constexpr DWORD kCallsDrainMs = 1000;

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

// True once no exported function runs any more, so that the engines can go:
// every call that comes later sees the detach and touches nothing.
bool CallsDrained() {
    const DWORD begun = GetTickCount();
    while (g_callsRunning.load() != 0) {
        if (GetTickCount() - begun >= kCallsDrainMs)
            return false;
        Sleep(kExportLockPollMs);
    }
    return true;
}

void Attach() { g_app->InitInstance(); }

// Each engine is stopped under its own export lock, as a host's stop would
// be, in the order they registered: the playback first, then the recording,
// which is completed. An engine whose lock another thread keeps (at exit()
// it may be inside a call for good) is left alone and never destroyed, and
// so are all while a call that began before the detach still runs. From the
// start of the detach on, the six functions answer at once, so that host
// threads calling in a loop let go of the export locks.
//
// At a Windows process exit the other threads are gone already and nothing
// may wait on them.
} // namespace

void LibraryDetach(bool processExit) {
    g_detached.store(true);
    if (processExit) {
        g_Log.SetProcessExiting();
        for (int i = 0; i < g_engineCount; ++i)
            g_engines[i].stopAtExit(true);
        g_app->ExitInstance();
        return;
    }
    const DWORD begun = GetTickCount();
    bool stopped[kMaxEngines] = {};
    for (int i = 0; i < g_engineCount; ++i) {
        stopped[i] = EnterBefore(g_engines[i].exportLock(), begun);
        if (stopped[i])
            g_engines[i].stopAtExit(false);
    }
    for (int i = g_engineCount - 1; i >= 0; --i)
        if (stopped[i])
            LeaveCriticalSection(&g_engines[i].exportLock());
    g_app->ExitInstance();
    if (!CallsDrained())
        return;
    for (int i = 0; i < g_engineCount; ++i)
        if (stopped[i])
            g_engines[i].destroy();
}

namespace {

// Runs in the child before fork returns there, and may wait on nothing:
// whatever the parent's threads held, no lock of the library is held in the
// child. A child of a parent that was using the library leaves the day's
// file, the engines and their devices to the parent.
bool ForkedChild() {
    bool inUse = g_callsRunning.load() > 0;
    for (int i = 0; i < g_engineCount; ++i)
        inUse = inUse || g_engines[i].inUse();
    ResetLockInForkedChild(&g_Log.RecordLock());
    if (inUse)
        g_Log.LeaveFileToOthers();
    for (int i = 0; i < g_engineCount; ++i)
        ResetLockInForkedChild(&g_engines[i].exportLock());
    return inUse;
}

// The hooks of the entry, the application object known first: on POSIX the
// entry delivers the attach as it is built.
LibraryHooks HooksFor(CWinApp& app) {
    g_app = &app;
    return LibraryHooks{Attach, LibraryDetach, ForkedChild};
}

} // namespace

LibraryPhase CurrentPhase() {
    if (g_detached.load())
        return LibraryPhase::detached;
    return IsForkedChild() ? LibraryPhase::forkedChild : LibraryPhase::inService;
}

CEngineRegistration::CEngineRegistration(const EngineRegistration& engine) {
    if (g_engineCount < kMaxEngines)
        g_engines[g_engineCount++] = engine;
}

CExportCall::CExportCall() { g_callsRunning.fetch_add(1); }

CExportCall::~CExportCall() { g_callsRunning.fetch_sub(1); }

CLibraryLifecycle::CLibraryLifecycle(CWinApp& app) : m_entry(HooksFor(app)) {}
