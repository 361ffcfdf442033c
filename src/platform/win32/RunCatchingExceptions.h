// SPDX-License-Identifier: MIT
// Shared by both fault guards: a C++ exception of any type ends the body.
#pragma once

inline bool RunCatchingExceptions(void (*body)(void*), void* context) {
    try {
        body(context);
    } catch (...) {
        return false;
    }
    return true;
}
