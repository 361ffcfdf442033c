// SPDX-License-Identifier: MIT
#include "winapi/kernel/FaultInjection.h"
#include "winapi/kernel/KernelObject.h"
#include "winapi/kernel/ThreadState.h"

#include <cstdlib>

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("LocalAlloc", &code)) {
        SetLastErrorCode(code);
        return nullptr;
    }
    void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                           : std::malloc(bytes ? bytes : 1);
    if (!memory)
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
    const ParkAround park;
    std::free(memory);
    return nullptr;
}
