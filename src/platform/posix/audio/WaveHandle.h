#pragma once

#include "platform/posix/audio/PreparedHeaders.h"

#include <mutex>

// What a wave-in and a wave-out handle share: the handle's lock and the
// headers prepared on it.
class WaveHandle {
public:
    size_t PreparedCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_prepared.Count();
    }

    // The handle's close failed: its owner keeps what it prepared.
    void CloseFailed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_prepared.Keep();
    }

    size_t KeptCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_prepared.KeptCount();
    }

protected:
    WaveHandle() = default;
    ~WaveHandle() = default;

    std::mutex m_mutex;
    PreparedHeaders m_prepared;
};
