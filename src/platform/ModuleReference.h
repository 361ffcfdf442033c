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
