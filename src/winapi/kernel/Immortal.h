// SPDX-License-Identifier: MIT
#pragma once

// The leak checker's call, present only in sanitizer builds.
extern "C" void __lsan_ignore_object(const void* object) __attribute__((weak));

// The layer's tables are built on first use and never destroyed, so that they
// outlive every static object of the library whatever the order across files.
// The leak checker is told so: once the library is unloaded nothing points at
// them any more, yet they are no leak.
template <typename T, typename... Args> T* MakeImmortal(Args&&... args) {
    T* object = new T(static_cast<Args&&>(args)...);
    if (__lsan_ignore_object)
        __lsan_ignore_object(object);
    return object;
}
