// SPDX-License-Identifier: MIT
// Shared libraries under their Windows names. A module is what dlopen
// answers; it is searched as dlopen searches (the caller's RPATH, then
// LD_LIBRARY_PATH and the system's folders), and its symbols stay its own.
#include "winapi/kernel/KernelObject.h"

#include <dlfcn.h>

HMODULE LoadLibraryA(LPCSTR fileName) {
    void* module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    void* address = module ? dlsym(module, name) : nullptr;
    if (!address)
        SetLastErrorCode(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module) {
    if (module && dlclose(module) == 0)
        return TRUE;
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return FALSE;
}
