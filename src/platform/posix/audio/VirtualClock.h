#pragma once

#include "platform/posix/WindowsApi.h"

#include <chrono>
#include <cstdint>

// The clock of a virtual device: whole frames at a byte rate, counted from a
// fixed start so that rounding never adds up to drift. KALDRIX_VIRTUAL_SPEED
// (read when the device opens; 1 when unset or not a number from 1 on) runs
// it that many times faster than the real clock, for long runs in tests.
class VirtualClock {
public:
    using Clock = std::chrono::steady_clock;

    VirtualClock(DWORD byteRate, WORD blockAlign);

    // Counting begins now.
    void Restart() { m_start = Clock::now(); }
    // Whole frames' bytes due between the start and `now`.
    uint64_t DueBytes(Clock::time_point now) const;
    // The first moment at which DueBytes covers `bytes`, rounded up to whole
    // frames.
    Clock::time_point WhenDue(uint64_t bytes) const;

private:
    const uint64_t m_byteRate;
    const uint64_t m_blockAlign;
    const uint64_t m_speed;
    Clock::time_point m_start;
};
