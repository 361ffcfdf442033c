// What the POSIX layer knows about the calling thread.
#pragma once

#include "platform/posix/WindowsApi.h"

// Every platform operation calls this on entry and before it returns: a
// thread that TerminateThread has ended parks here for good, never running
// on and never unwinding.
void ParkIfTerminated();

// Removes the calling thread's message queue, so that posting to a thread
// that has ended fails, as on Windows.
void ReleaseThreadQueue();

// True on threads that CreateThread started.
bool IsLayerThread();
// Joins every thread of this layer that has returned from its procedure, so
// that none still runs the library's code on its way out (see CreateThread).
void JoinReturnedThreads();
