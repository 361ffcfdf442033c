// SPDX-License-Identifier: MIT
#include "winapi/kernel/KernelObject.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/kernel/ThreadState.h"

#include <atomic>

namespace {
thread_local DWORD t_lastError = 0;
std::atomic<unsigned> g_openHandles{0};
} // namespace

void SetLastErrorCode(DWORD code) { t_lastError = code; }

DWORD GetLastError() { return t_lastError; }

HANDLE MakeHandle(std::shared_ptr<KernelObject> object) {
    g_openHandles.fetch_add(1, std::memory_order_relaxed);
    return new HandleSlot{std::move(object)};
}

KernelObject* ObjectOf(HANDLE handle) {
    return handle ? static_cast<HandleSlot*>(handle)->object.get() : nullptr;
}

BOOL CloseHandle(HANDLE handle) {
    const ParkAround park;
    if (!handle) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<HandleSlot*>(handle);
    g_openHandles.fetch_sub(1, std::memory_order_relaxed);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const ParkAround park;
    KernelObject* object = ObjectOf(handle);
    if (!object) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const bool signalled = object->Wait(milliseconds);
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

namespace kxtest {
unsigned OpenHandleCount() { return g_openHandles.load(std::memory_order_relaxed); }
} // namespace kxtest
