// SPDX-License-Identifier: MIT
#include "platform/platform.h"

// A reference on the module that holds this code, so that a host's
// FreeLibrary leaves it mapped while a library thread still runs in it.
void* AcquireModuleReference() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&AcquireModuleReference), &module))
        return nullptr;
    return module;
}

void ReleaseModuleReference(void* module) {
    if (module)
        FreeLibrary(static_cast<HMODULE>(module));
}

// Drops the thread's reference and ends the thread in one step, so the code
// is never unmapped under it. Returns only when no reference was taken.
DWORD ExitLibraryThread(void* module, DWORD exitCode) {
    if (module)
        FreeLibraryAndExitThread(static_cast<HMODULE>(module), exitCode);
    return exitCode;
}
