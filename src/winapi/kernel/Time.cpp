// SPDX-License-Identifier: MIT
#include "winapi/testing/TestInterface.h"
#include "winapi/kernel/ThreadState.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace {
std::atomic<DWORD> g_tickOffset{0};
}

void Sleep(DWORD milliseconds) {
    const ParkAround park;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// A monotonic millisecond count that wraps at 2^32, like Windows'.
DWORD GetTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<DWORD>(ms) + g_tickOffset.load(std::memory_order_relaxed);
}

void GetLocalTime(LPSYSTEMTIME time) {
    const ParkAround park;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    time->wSecond = static_cast<WORD>(local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(ms);
}

namespace kxtest {
void SetTickOffset(DWORD offset) { g_tickOffset.store(offset, std::memory_order_relaxed); }
} // namespace kxtest
