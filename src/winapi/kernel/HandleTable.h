// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// The open objects of one kind (mmio files, wave-in and wave-out handles)
// behind handles that are numbers, never reused: a call with a closed or
// made-up handle finds nothing instead of reaching freed memory or a newer
// object. A found object is shared, so it outlives a concurrent close for as
// long as the call that found it runs.
template <typename Handle, typename Object> class HandleTable {
public:
    // Handles count up from `first` in steps of `step`.
    HandleTable(uintptr_t first, uintptr_t step) : m_next(first), m_step(step) {}

    // Adds the object that make(handle) returns under a new handle, which
    // the object may keep.
    template <typename Make> Handle Add(Make make) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto handle = reinterpret_cast<Handle>(m_next);
        m_objects.emplace(m_next, make(handle));
        m_next += m_step;
        return handle;
    }

    std::shared_ptr<Object> Find(Handle handle) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    void Remove(Handle handle) { Take(handle); }

    // Removes the object behind `handle` and returns it; null when there is
    // none, so that of two calls closing one handle only one gets it.
    std::shared_ptr<Object> Take(Handle handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_objects.end())
            return nullptr;
        std::shared_ptr<Object> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

    // Calls visit(object) for every open object, with the table locked.
    template <typename Visit> void ForEach(Visit visit) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_objects)
            visit(*entry.second);
    }

    size_t Size() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_objects.size();
    }

private:
    mutable std::mutex m_mutex;
    std::map<uintptr_t, std::shared_ptr<Object>> m_objects;
    uintptr_t m_next;
    const uintptr_t m_step;
};
