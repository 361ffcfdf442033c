// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

// What a host's process may do around the library at any moment (unload it,
// exit while other threads are inside a call, fork) and what each of the
// library's objects does then, in one place.

// Where the six functions stand. After the detach they answer at once, write
// no record and touch no object; in a process copied from one that was using
// the library (a forked child) the engines are idle and the devices, files
// and threads are the parent's.
enum class LibraryPhase { inService, detached, forkedChild };
LibraryPhase CurrentPhase();

// One engine as the detach and a forked child see it. Each engine registers
// one, from where the global objects are defined, before the library's entry
// object is built.
struct EngineRegistration {
    // The lock its starts and stops hold.
    CRITICAL_SECTION& (*exportLock)();
    // Running, or a start or stop of it in progress.
    bool (*inUse)();
    // Stops it for good, its export lock held unless processExit: then the
    // other threads are gone, possibly holding locks, and nothing may wait.
    void (*stopAtExit)(bool processExit);
    // Destroys it, once it is stopped and no call can reach it any more.
    void (*destroy)();
};
class CEngineRegistration {
public:
    explicit CEngineRegistration(const EngineRegistration& engine);
};

// The detach, as the platform's entry delivers it when the library goes
// (tests drive it directly).
void LibraryDetach(bool processExit);

// Counts the exported functions running, so that a fork can tell whether
// the parent was using the library, and the detach whether an engine can go.
class CExportCall {
public:
    CExportCall();
    ~CExportCall();
    CExportCall(const CExportCall&) = delete;
    CExportCall& operator=(const CExportCall&) = delete;
};

// The library's entry object: defined after every global object in their
// translation unit, so that the attach runs once they are built and the
// detach before any of them goes. The attach and the detach reach the
// application object `app` (its InitInstance and ExitInstance).
class CLibraryLifecycle {
public:
    explicit CLibraryLifecycle(CWinApp& app);
    ~CLibraryLifecycle() = default;
    CLibraryLifecycle(const CLibraryLifecycle&) = delete;
    CLibraryLifecycle& operator=(const CLibraryLifecycle&) = delete;

private:
    CLibraryEntry m_entry;
};
