// SPDX-License-Identifier: MIT
// Kernel objects of the POSIX layer behind HANDLEs: threads and events. A
// HANDLE points at a HandleSlot that shares ownership of its object, so an
// object lives as long as a handle or a running thread needs it.
#pragma once

#include "winapi/WindowsApi.h"

#include <memory>

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Waits until the object is signalled; false after the time-out.
    virtual bool Wait(DWORD milliseconds) = 0;
};

struct HandleSlot {
    std::shared_ptr<KernelObject> object;
};

HANDLE MakeHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null for a null or invalid one.
KernelObject* ObjectOf(HANDLE handle);

// The event behind a handle, shared, for a device to signal
// (CALLBACK_EVENT): the device's share keeps the event alive should its
// owner close the handle first, as Windows keeps a signalled object alive
// for its holders. Null when the handle is no event.
std::shared_ptr<KernelObject> ShareEvent(HANDLE handle);
// SetEvent on a shared event.
void SetSharedEvent(KernelObject& event);

// Remembers an error for GetLastError on the calling thread.
void SetLastErrorCode(DWORD code);
