// SPDX-License-Identifier: MIT
#include "winapi/kernel/FaultInjection.h"
#include "winapi/kernel/KernelObject.h"
#include "winapi/kernel/ThreadState.h"
#include "winapi/kernel/WaitDeadline.h"

namespace {

class Event : public KernelObject {
public:
    Event(bool manualReset, bool signalled) : m_manualReset(manualReset), m_signalled(signalled) {}

    bool Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!WaitWithTimeout(m_cv, lock, milliseconds, [this] { return m_signalled; }))
            return false;
        if (!m_manualReset)
            m_signalled = false; // an automatic-reset event releases one waiter
        return true;
    }

    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        if (m_manualReset)
            m_cv.notify_all();
        else
            m_cv.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }

private:
    const bool m_manualReset;
    bool m_signalled;
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

Event* EventOf(HANDLE handle) { return dynamic_cast<Event*>(ObjectOf(handle)); }

} // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("CreateEventA", &code)) {
        SetLastErrorCode(code);
        return nullptr;
    }
    return MakeHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
    const ParkAround park;
    Event* event = EventOf(handle);
    if (!event) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

std::shared_ptr<KernelObject> ShareEvent(HANDLE handle) {
    return EventOf(handle) ? static_cast<HandleSlot*>(handle)->object : nullptr;
}

void SetSharedEvent(KernelObject& event) { static_cast<Event&>(event).Set(); }

BOOL ResetEvent(HANDLE handle) {
    const ParkAround park;
    Event* event = EventOf(handle);
    if (!event) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}
