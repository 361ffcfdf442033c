#include "platform/platform.h"

// The unload stops both engines before the library goes, so a library thread
// needs no reference of its own here.
void* AcquireModuleReference() { return nullptr; }

void ReleaseModuleReference(void*) {}

DWORD ExitLibraryThread(void*, DWORD exitCode) { return exitCode; }
