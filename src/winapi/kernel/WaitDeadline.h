// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

// Waits on a condition variable until ready() holds or the Windows-style
// time-out (INFINITE for none) has passed; returns ready().
template <typename Ready>
bool WaitWithTimeout(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                     DWORD milliseconds, Ready ready) {
    if (milliseconds == INFINITE) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}
