// SPDX-License-Identifier: MIT
#pragma once

// Included by platform.h after the platform types.

// A library thread keeps the library loaded while it runs, so that a host's
// unload never unmaps code under it. The starting thread acquires the
// reference before creating the thread and releases it again if the creation
// fails, or after terminating the thread. The thread itself ends through
// ExitLibraryThread, which on Windows releases the reference and never
// returns; on POSIX the unload stops the engines first, so there is nothing
// to hold and ExitLibraryThread returns the exit code.
void* AcquireModuleReference();
void ReleaseModuleReference(void* module);
DWORD ExitLibraryThread(void* module, DWORD exitCode);

// Keeps the library's code mapped until the process ends, for a library
// thread that was given up on while it may still run: on POSIX a terminated
// thread only parks at its next platform call, and a call it is blocked in
// returns into the library. True the first time only, so that the caller
// logs it once. Windows ends such a thread, so there nothing is kept.
bool KeepLibraryMapped();
