// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/kernel/FaultInjection.h"
#include "winapi/kernel/HandleTable.h"
#include "winapi/kernel/ThreadState.h"

// The entry of every emulated operation, declared first in it: a terminated
// thread parks on entry and again when the operation returns (ParkAround),
// and a failure that the test interface asked for under the operation's
// Windows name is applied before anything else happens.
class Operation {
public:
    explicit Operation(const char* name) : m_failed(InjectedFailure(name, &m_code)) {}
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // True when this call is to fail, with Code() as its result.
    bool Failed() const { return m_failed; }
    DWORD Code() const { return m_code; }

    // For an operation on a handle, in this order: the injected failure;
    // MMSYSERR_INVALHANDLE when `table` holds nothing behind `handle`;
    // MMSYSERR_INVALPARAM when the operation's argument is missing or wrong;
    // else MMSYSERR_NOERROR with *object set.
    template <typename Handle, typename Object>
    MMRESULT Find(const HandleTable<Handle, Object>& table, Handle handle,
                  std::shared_ptr<Object>* object, bool argumentValid = true) const {
        if (m_failed)
            return m_code;
        *object = table.Find(handle);
        if (!*object)
            return MMSYSERR_INVALHANDLE;
        return argumentValid ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
    }

private:
    const ParkAround m_park; // first: built before the failure is taken, gone last
    DWORD m_code = 0;
    const bool m_failed;
};

// An operation on the object behind a handle: the entry (Operation::Find),
// then call(object) for the result.
template <typename Handle, typename Object, typename Call>
MMRESULT CallOnHandle(const char* name, const HandleTable<Handle, Object>& table, Handle handle,
                      bool argumentValid, Call call) {
    const Operation operation(name);
    std::shared_ptr<Object> object;
    const MMRESULT entry = operation.Find(table, handle, &object, argumentValid);
    return entry != MMSYSERR_NOERROR ? entry : call(*object);
}

// A close: the injected failure or the object's own Close(). A closed object
// leaves the table; one whose close failed is told so, as what it holds its
// owner now keeps on purpose.
template <typename Handle, typename Object>
MMRESULT CloseOnHandle(const char* name, HandleTable<Handle, Object>& table, Handle handle) {
    const Operation operation(name);
    const std::shared_ptr<Object> object = table.Find(handle);
    MMRESULT result = MMSYSERR_INVALHANDLE;
    if (operation.Failed())
        result = operation.Code();
    else if (object)
        result = object->Close();
    if (result == MMSYSERR_NOERROR)
        table.Remove(handle);
    else if (object)
        object->CloseFailed();
    return result;
}
