// SPDX-License-Identifier: MIT
#pragma once

#include "lifecycle/ExportGuard.h"
#include "platform/platform.h"

#include <atomic>

// A library thread's hold on the library's code, so that a host's unload
// never unmaps it under the thread. On Windows it is a reference on the
// module, taken by the host thread that creates the library thread and given
// back by the thread as it ends (FreeLibraryAndExitThread), or by whoever
// terminates it; on Linux the library stays loaded once loaded, and there is
// nothing to hold.
class CLibraryThread {
public:
    // CreateThread, holding the library for the new thread.
    HANDLE Create(LPTHREAD_START_ROUTINE start, LPVOID parameter, LPDWORD threadId) {
        m_module.store(AcquireModuleReference());
        const HANDLE thread = CreateThread(nullptr, 0, start, parameter, 0, threadId);
        if (!thread)
            ReleaseModuleReference(m_module.exchange(nullptr));
        return thread;
    }
    // Ends a thread that would not stop, and gives back its hold.
    void Terminate(HANDLE thread) {
        TerminateThread(thread, 0);
        ReleaseModuleReference(m_module.exchange(nullptr));
    }
    // The thread's body, from its own procedure: the thread named `name`
    // (for top -H and a debugger), the body guarded as an export's is, so
    // that a C++ exception or a processor fault inside it is written as
    // `exceptionText`, one record, and ends the body there, and the host
    // lives. The procedure goes on to its clean-up and Exit either way.
    // False after such an ending.
    template <typename Body>
    static bool Run(const char* name, const char* exceptionText, Body body) {
        NameCurrentThread(name);
        return RunGuarded(exceptionText, body);
    }
    // The thread's last step, from its own procedure: gives back the hold
    // and ends the thread. Returns the exit code where there was no hold.
    DWORD Exit(DWORD exitCode) { return ExitLibraryThread(m_module.exchange(nullptr), exitCode); }

private:
    std::atomic<void*> m_module{nullptr};
};
