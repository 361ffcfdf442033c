// SPDX-License-Identifier: MIT
#pragma once

#include <new>

// A global object that is not destroyed when static objects go, but only when
// the unload says that no other thread can reach it any more. At exit() the
// host's other threads still run and may be inside a call; in a forked child
// the object describes the parent's threads and devices. In both it stays as
// it is, its memory valid for whoever still reads it.
template <typename T> class CKeptObject {
public:
    CKeptObject() { new (m_storage) T(); }
    ~CKeptObject() = default;
    CKeptObject(const CKeptObject&) = delete;
    CKeptObject& operator=(const CKeptObject&) = delete;

    T& Object() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    void Destroy() {
        if (!m_destroyed) {
            m_destroyed = true;
            Object().~T();
        }
    }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
    bool m_destroyed = false;
};
