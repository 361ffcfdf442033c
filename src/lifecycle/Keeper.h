// SPDX-License-Identifier: MIT
#pragma once

#include <utility>
#include <vector>

// Keeps what a device that could not be closed, or a library thread that was
// given up on, may still reach, so that it is never freed or reused under
// them. A device is closed again at each start of its engine and when the
// library goes; what it held goes with it once it closes. What a thread that
// was given up on may reach is kept for good, and so is everything still
// kept when the keeper itself goes.
class CKeeper {
public:
    CKeeper() = default;
    ~CKeeper() = default; // leaves what it keeps allocated, on purpose
    CKeeper(const CKeeper&) = delete;
    CKeeper& operator=(const CKeeper&) = delete;

    // `owned` (movable; often a std::unique_ptr) is never freed.
    template <typename Owned> void KeepForGood(Owned owned) {
        m_kept.push_back(Kept{new Owned(std::move(owned)), nullptr, nullptr});
    }
    // `device` has a `bool Close()` that tries to close it and holds, with
    // it, what it may still reach; it goes once it closes.
    template <typename Device> void KeepUntilClosed(Device device) {
        m_kept.push_back(Kept{new Device(std::move(device)),
                              [](void* kept) { return static_cast<Device*>(kept)->Close(); },
                              [](void* kept) { delete static_cast<Device*>(kept); }});
    }
    // Tries each kept device's close again.
    void CloseDevices() {
        for (auto it = m_kept.begin(); it != m_kept.end();) {
            if (it->close && it->close(it->object)) {
                it->destroy(it->object);
                it = m_kept.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    struct Kept {
        void* object;
        bool (*close)(void*);
        void (*destroy)(void*);
    };
    std::vector<Kept> m_kept;
};
