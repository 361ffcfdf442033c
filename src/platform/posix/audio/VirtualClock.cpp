#include "platform/posix/audio/VirtualClock.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr uint64_t kMicrosPerSecond = 1000000;

uint64_t SpeedFromEnvironment() {
    const char* value = std::getenv("KALDRIX_VIRTUAL_SPEED");
    if (!value || !*value)
        return 1;
    char* end = nullptr;
    const unsigned long long speed = std::strtoull(value, &end, 10);
    return *end == '\0' && speed >= 1 && speed <= 1000000 ? speed : 1;
}

} // namespace

VirtualClock::VirtualClock(DWORD byteRate, WORD blockAlign)
    : m_byteRate(std::max<DWORD>(byteRate, 1)), m_blockAlign(std::max<WORD>(blockAlign, 1)),
      m_speed(SpeedFromEnvironment()), m_start(Clock::now()) {}

uint64_t VirtualClock::DueBytes(Clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_start);
    if (elapsed.count() <= 0)
        return 0;
    const uint64_t virtualMicros = static_cast<uint64_t>(elapsed.count()) * m_speed;
    const uint64_t bytes = virtualMicros * m_byteRate / kMicrosPerSecond;
    return bytes - bytes % m_blockAlign;
}

VirtualClock::Clock::time_point VirtualClock::WhenDue(uint64_t bytes) const {
    const uint64_t whole = (bytes + m_blockAlign - 1) / m_blockAlign * m_blockAlign;
    const uint64_t virtualMicros = (whole * kMicrosPerSecond + m_byteRate - 1) / m_byteRate;
    const uint64_t micros = (virtualMicros + m_speed - 1) / m_speed;
    return m_start + std::chrono::microseconds(micros);
}
