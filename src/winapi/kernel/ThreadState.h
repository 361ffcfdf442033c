// SPDX-License-Identifier: MIT
// What the POSIX layer knows about the calling thread.
#pragma once

#include "winapi/WindowsApi.h"

// Every platform operation calls this on entry and before it returns: a
// thread that TerminateThread has ended parks here for good, never running
// on and never unwinding.
void ParkIfTerminated();

// True when TerminateThread has ended the calling thread.
bool IsTerminated();

// Parks a terminated thread on entry to an operation and again when the
// operation returns, however it returns: a thread terminated while it was
// blocked inside never runs on once the call comes back. Declared first in
// the operation, so that its other locals are gone before the thread parks.
class ParkAround {
public:
    ParkAround() { ParkIfTerminated(); }
    ~ParkAround() { ParkIfTerminated(); }
    ParkAround(const ParkAround&) = delete;
    ParkAround& operator=(const ParkAround&) = delete;
};

// Names the calling thread (pthread_setname_np), at most 15 characters. The
// library's platform interface declares the same function
// (platform/ThreadName.h): on POSIX this is it, and the layer's own threads
// are named alike.
void NameCurrentThread(const char* name);

// True on threads that CreateThread started.
bool IsLayerThread();
// Joins every thread of this layer that has returned from its procedure, so
// that none still runs the library's code on its way out (see CreateThread).
void JoinReturnedThreads();

// True while a thread of this layer has not returned from its procedure.
bool LayerThreadsRunning();
// In a forked child of a parent whose threads had all returned: their
// pthreads are not the child's to join.
void ForgetThreadsOfParent();
