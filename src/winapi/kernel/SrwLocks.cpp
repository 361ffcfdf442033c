// SPDX-License-Identifier: MIT
// Slim locks and condition variables over pthread mutexes and condition
// variables. A timed sleep counts on the monotonic clock, so that a change of
// the wall clock neither cuts it short nor stretches it.
#include "winapi/kernel/KernelObject.h"
#include "winapi/kernel/ThreadState.h"

#include <cerrno>
#include <ctime>

namespace {

// A terminated thread never parks holding the lock: the other threads go on.
void ParkOutsideLock(PSRWLOCK lock) {
    if (IsTerminated()) {
        pthread_mutex_unlock(&lock->mutex);
        ParkIfTerminated();
    }
}

} // namespace

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    ParkIfTerminated();
    pthread_mutex_lock(&lock->mutex);
    ParkOutsideLock(lock);
}

BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock) {
    return pthread_mutex_trylock(&lock->mutex) == 0 ? TRUE : FALSE;
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) { pthread_mutex_unlock(&lock->mutex); }

BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE variable, PSRWLOCK lock, DWORD milliseconds,
                               ULONG) {
    if (milliseconds == INFINITE) {
        pthread_cond_wait(&variable->cond, &lock->mutex);
        ParkOutsideLock(lock);
        return TRUE;
    }
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        ++until.tv_sec;
        until.tv_nsec -= 1000000000;
    }
    const int waited =
        pthread_cond_clockwait(&variable->cond, &lock->mutex, CLOCK_MONOTONIC, &until);
    ParkOutsideLock(lock);
    if (waited == ETIMEDOUT) {
        SetLastErrorCode(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

void WakeAllConditionVariable(PCONDITION_VARIABLE variable) {
    pthread_cond_broadcast(&variable->cond);
}
