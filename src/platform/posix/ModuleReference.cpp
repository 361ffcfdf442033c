// SPDX-License-Identifier: MIT
#include "platform/platform.h"

#include <atomic>
#include <dlfcn.h>

// The unload stops both engines before the library goes, so a library thread
// needs no reference of its own here.
void* AcquireModuleReference() { return nullptr; }

void ReleaseModuleReference(void*) {}

DWORD ExitLibraryThread(void*, DWORD exitCode) { return exitCode; }

// A second, never released reference marked RTLD_NODELETE: the host's
// dlclose then leaves the code mapped. It must be taken before the unload
// begins; once dlclose has chosen the library for unmapping, no pin helps.
bool KeepLibraryMapped() {
    static std::atomic<bool> s_pinned{false};
    if (s_pinned.exchange(true))
        return false;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&KeepLibraryMapped), &self) && self.dli_fname)
        dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    return true;
}
