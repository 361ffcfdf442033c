#include "platform/posix/ThreadState.h"

#include <mutex>

namespace {
std::recursive_mutex& LockOf(LPCRITICAL_SECTION section) {
    return *static_cast<std::recursive_mutex*>(section->lock);
}
} // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    section->lock = new std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    ParkIfTerminated();
    LockOf(section).lock();
    // A thread terminated while it waited never owns the section: it gives
    // it back before it parks, so the other threads can go on.
    if (IsTerminated()) {
        LockOf(section).unlock();
        ParkIfTerminated();
    }
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return LockOf(section).try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { LockOf(section).unlock(); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete &LockOf(section);
    section->lock = nullptr;
}
