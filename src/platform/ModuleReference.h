// SPDX-License-Identifier: MIT
#pragma once

// Included by platform.h after the platform types.

// A library thread keeps the library loaded while it runs, so that a host's
// unload never unmaps code under it (see CLibraryThread). The starting thread
// acquires the reference before creating the thread and releases it again if
// the creation fails, or after terminating the thread. The thread itself ends
// through ExitLibraryThread, which on Windows releases the reference and
// never returns. On POSIX the library stays loaded once loaded (it is linked
// with -z nodelete): there is nothing to hold, and ExitLibraryThread returns
// the exit code.
void* AcquireModuleReference();
void ReleaseModuleReference(void* module);
DWORD ExitLibraryThread(void* module, DWORD exitCode);
