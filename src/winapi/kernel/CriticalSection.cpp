// SPDX-License-Identifier: MIT
#include "winapi/WindowsApi.h"
#include "winapi/kernel/ThreadState.h"

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    ParkIfTerminated();
    pthread_mutex_lock(&section->mutex);
    // A thread terminated while it waited never owns the section: it gives
    // it back before it parks, so the other threads can go on.
    if (IsTerminated()) {
        pthread_mutex_unlock(&section->mutex);
        ParkIfTerminated();
    }
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return pthread_mutex_trylock(&section->mutex) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(&section->mutex); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->mutex); }
