// SPDX-License-Identifier: MIT
#pragma once

// Included by platform.h after the platform types.

// A wave header's flags, read atomically: a device marks a header done from
// its own thread, while the owner may be looking.
inline DWORD HeaderFlags(const WAVEHDR& header) {
    return __atomic_load_n(&header.dwFlags, __ATOMIC_ACQUIRE);
}
