#pragma once

#include "platform/posix/WindowsApi.h"
#include "platform/posix/audio/WaveHandle.h"
#include "platform/posix/audio/WaveOutBackend.h"

#include <memory>
#include <mutex>
#include <vector>

// One open wave-out handle: the Windows rules for its headers over the
// backend that plays them. The backend marks a header done from its own
// thread once it has been played; a header held by the test interface
// stays in the device, unplayed, until it is released.
class WaveOutHandle : public WaveHandle {
public:
    explicit WaveOutHandle(std::unique_ptr<WaveOutBackend> backend);
    WaveOutHandle(const WaveOutHandle&) = delete;
    WaveOutHandle& operator=(const WaveOutHandle&) = delete;

    MMRESULT Prepare(LPWAVEHDR header);
    MMRESULT Unprepare(LPWAVEHDR header);
    // `hold`: the header stays in the device, never played.
    MMRESULT Write(LPWAVEHDR header, bool hold);
    // Stops at once and returns every queued header, except held ones.
    MMRESULT Reset();
    // Fails with WAVERR_STILLPLAYING while headers are queued.
    MMRESULT Close();
    // Marks the held headers done, unplayed.
    void ReleaseHeld();

private:
    // Runs step() with the lock held, unless the handle has been closed.
    template <typename Step> MMRESULT WhileOpen(Step step);

    const std::unique_ptr<WaveOutBackend> m_backend;
    std::vector<LPWAVEHDR> m_held;
    bool m_closed = false;
};
