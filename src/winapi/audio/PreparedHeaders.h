// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

#include <vector>

// The headers prepared on one open handle, and the Windows rules for
// preparing and unpreparing them, alike in both directions. A few at a time:
// a list that keeps its capacity, so that preparing again while streaming
// allocates nothing. Not locked: the handle's lock covers it.
class PreparedHeaders {
public:
    // WAVERR_STILLPLAYING while the device holds the header; preparing a
    // prepared header again is no error.
    MMRESULT Prepare(WAVEHDR* header);
    // WAVERR_STILLPLAYING while the device holds the header; unpreparing a
    // header that is not prepared is no error. The header is left done.
    MMRESULT Unprepare(WAVEHDR* header);
    // Whether a header may go to the device: WAVERR_UNPREPARED when it is
    // not prepared, WAVERR_STILLPLAYING when the device holds it already.
    static MMRESULT CheckQueueable(const WAVEHDR* header);
    void Clear() { m_headers.clear(); }
    size_t Count() const { return m_headers.size(); }
    // After a failed close the owner keeps these headers on purpose, until a
    // close succeeds.
    void Keep() { m_kept = true; }
    size_t KeptCount() const { return m_kept ? m_headers.size() : 0; }

private:
    std::vector<WAVEHDR*> m_headers;
    bool m_kept = false;
};

// The checks of a header argument that every header operation makes first.
inline bool IsValidHeader(const WAVEHDR* header, UINT size) {
    return header != nullptr && size >= sizeof(WAVEHDR);
}
