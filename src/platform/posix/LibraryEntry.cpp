// SPDX-License-Identifier: MIT
#include "platform/platform.h"
#include "platform/posix/FaultHandler.h"
#include "platform/posix/StandardOutput.h"
#include "platform/posix/ThreadState.h"

#include <atomic>
#include <pthread.h>

namespace {

// Plain globals, never destroyed: the detach reads them whatever the order in
// which static objects go.
LibraryHooks g_hooks{};
std::atomic<bool> g_forkedChild{false};

// No prepare handler: a host's fork never waits on a library thread. The
// child echoes from its callers, and either leaves the parent's library
// alone or, when the parent was not using it, forgets the parent's threads
// (returned ones, not the child's to join).
void OnForkInChild() {
    EchoFromCallersInForkedChild();
    ResetFaultHandlerLockInForkedChild();
    // Both asked: the core's answer also gives the child fresh locks.
    const bool coreInUse = g_hooks.forkedChild && g_hooks.forkedChild();
    if (LayerThreadsRunning() || coreInUse)
        g_forkedChild.store(true, std::memory_order_relaxed);
    else
        ForgetThreadsOfParent();
}

} // namespace

bool IsForkedChild() { return g_forkedChild.load(std::memory_order_relaxed); }

// The library is loaded (by dlopen or at program start) and its globals are
// built; unloading runs the destructor before they are destroyed. exit() runs
// static destructors while other threads still live, so this is never a
// process-exit detach in the Windows sense. The fork handler goes with the
// library when it is unloaded.
//
// Both run on a host's thread (its dlopen, its exit): its cancellation is
// held off meanwhile, as inside the six functions.
CLibraryEntry::CLibraryEntry(LibraryHooks hooks) {
    const CCancellationHold noCancellation;
    g_hooks = hooks;
    pthread_atfork(nullptr, nullptr, OnForkInChild);
    if (g_hooks.attach)
        g_hooks.attach();
}

// The detach stops the engines; their threads have returned then, but may
// still be on their way out through the library's code. Only then is the
// fault handler taken out: the stops run guarded. The echo of the log ends
// last, once the detach's own records are out.
//
// A forked child has none of the parent's threads, yet its copy of the
// engines says they run, on the parent's device streams and files. Its
// detach leaves them all alone and waits for nothing; it writes no "Log
// Exited" either, since the log and its session belong to the parent.
CLibraryEntry::~CLibraryEntry() {
    const CCancellationHold noCancellation;
    if (!IsForkedChild()) {
        if (g_hooks.detach)
            g_hooks.detach(false);
        JoinReturnedThreads();
        StopStandardOutputEcho();
    }
    RemoveFaultHandler();
}
