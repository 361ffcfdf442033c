// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

// A header's dwFlags belong to its owner and to the device at once: the
// device's own thread marks a header done while the owner may be reading its
// flags. Every access from the layer is therefore atomic.
inline DWORD FlagsOf(const WAVEHDR* header) {
    return __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
}

inline void SetFlags(WAVEHDR* header, DWORD flags) {
    __atomic_fetch_or(&header->dwFlags, flags, __ATOMIC_RELEASE);
}

inline void ClearFlags(WAVEHDR* header, DWORD flags) {
    __atomic_fetch_and(&header->dwFlags, ~flags, __ATOMIC_RELEASE);
}

// WHDR_INQUEUE cleared and WHDR_DONE set in one step, as a driver does: an
// owner never sees the header both out of the queue and not done.
inline void MarkDone(WAVEHDR* header) {
    DWORD flags = FlagsOf(header);
    while (!__atomic_compare_exchange_n(&header->dwFlags, &flags,
                                        (flags & ~WHDR_INQUEUE) | WHDR_DONE, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
    }
}

// Handed to the device: no longer done, in its queue.
inline void MarkQueued(WAVEHDR* header) {
    ClearFlags(header, WHDR_DONE);
    SetFlags(header, WHDR_INQUEUE);
}
