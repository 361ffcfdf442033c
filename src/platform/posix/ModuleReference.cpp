// SPDX-License-Identifier: MIT
#include "platform/platform.h"

// The library stays loaded once loaded (-z nodelete): a host's dlclose never
// unmaps code under a library thread, so a thread needs no reference of its
// own, and no dl* call runs on one.
void* AcquireModuleReference() { return nullptr; }

void ReleaseModuleReference(void*) {}

DWORD ExitLibraryThread(void*, DWORD exitCode) { return exitCode; }
