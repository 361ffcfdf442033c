// SPDX-License-Identifier: MIT
#include "winapi/audio/PreparedHeaders.h"
#include "winapi/audio/WaveHeaderFlags.h"

#include <algorithm>

MMRESULT PreparedHeaders::Prepare(WAVEHDR* header) {
    const DWORD flags = FlagsOf(header);
    if (flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (!(flags & WHDR_PREPARED)) {
        ClearFlags(header, WHDR_DONE);
        SetFlags(header, WHDR_PREPARED);
    }
    if (std::find(m_headers.begin(), m_headers.end(), header) == m_headers.end())
        m_headers.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT PreparedHeaders::Unprepare(WAVEHDR* header) {
    const DWORD flags = FlagsOf(header);
    if (flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (flags & WHDR_PREPARED) {
        ClearFlags(header, WHDR_PREPARED);
        SetFlags(header, WHDR_DONE);
    }
    m_headers.erase(std::remove(m_headers.begin(), m_headers.end(), header), m_headers.end());
    return MMSYSERR_NOERROR;
}

MMRESULT PreparedHeaders::CheckQueueable(const WAVEHDR* header) {
    const DWORD flags = FlagsOf(header);
    if (!(flags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    return (flags & WHDR_INQUEUE) ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR;
}
