#include "platform/posix/KernelObject.h"
#include "platform/posix/ThreadState.h"

namespace {
thread_local DWORD t_lastError = 0;
}

void SetLastErrorCode(DWORD code) { t_lastError = code; }

DWORD GetLastError() { return t_lastError; }

HANDLE MakeHandle(std::shared_ptr<KernelObject> object) {
    return new HandleSlot{std::move(object)};
}

KernelObject* ObjectOf(HANDLE handle) {
    return handle ? static_cast<HandleSlot*>(handle)->object.get() : nullptr;
}

BOOL CloseHandle(HANDLE handle) {
    ParkIfTerminated();
    if (!handle) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<HandleSlot*>(handle);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    ParkIfTerminated();
    KernelObject* object = ObjectOf(handle);
    if (!object) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const bool signalled = object->Wait(milliseconds);
    ParkIfTerminated();
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
