#pragma once

#include "platform/posix/WindowsApi.h"

// One open wave-out device: plays the headers it is given, in order, and
// marks each done (WHDR_DONE set, WHDR_INQUEUE cleared, atomically) from its
// own thread once it has been played, as a Windows driver does.
class WaveOutBackend {
public:
    WaveOutBackend() = default;
    virtual ~WaveOutBackend() = default;
    WaveOutBackend(const WaveOutBackend&) = delete;
    WaveOutBackend& operator=(const WaveOutBackend&) = delete;

    // Queues the header's bytes behind everything queued before. Its data
    // stays valid and unchanged until the stream has marked it done.
    virtual void Play(WAVEHDR* header) = 0;
    // Stops at once: what is not played yet is dropped and every queued
    // header is marked done before Stop returns.
    virtual void Stop() = 0;
    // Whether headers are queued that are not done yet.
    virtual bool Busy() = 0;
};
