// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <memory>

// The capture buffers of one recording: an array of headers, each with a data
// buffer of its own, and the staging copy that the capture thread writes a
// full buffer from. A header's dwUser points back at its set, so that the
// capture thread counts a returned header against the recording it belongs
// to and never against a later one. The set frees whatever it still holds
// when it goes; a set that a device or a terminated thread may still reach is
// kept alive instead (see CWaveRecorder).
class CCaptureBuffers {
public:
    CCaptureBuffers(DWORD count, DWORD size);
    ~CCaptureBuffers();
    CCaptureBuffers(const CCaptureBuffers&) = delete;
    CCaptureBuffers& operator=(const CCaptureBuffers&) = delete;

    DWORD Count() const { return m_count; }
    // The bytes of each buffer.
    DWORD Size() const { return m_size; }
    char* Staging() { return m_staging.get(); }
    WAVEHDR& Header(DWORD i) { return m_headers[i]; }
    // Zeroes header i and gives it a data buffer of its own.
    void Allocate(DWORD i);
    // Frees the data of header i, which the device has given back.
    void FreeData(DWORD i);
    // True when no header has data any more.
    bool Empty() const;

    // Headers given to the device whose return the capture thread has not
    // handled yet.
    void CountOut() { m_out.fetch_add(1); }
    void CountBack() { m_out.fetch_sub(1); }
    int Out() const { return m_out.load(); }
    static CCaptureBuffers& Of(const WAVEHDR& header) {
        return *reinterpret_cast<CCaptureBuffers*>(header.dwUser);
    }

private:
    const DWORD m_count;
    const DWORD m_size;
    WAVEHDR* m_headers;
    const std::unique_ptr<char[]> m_staging;
    std::atomic<int> m_out{0};
};
