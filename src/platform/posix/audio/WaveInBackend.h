#pragma once

#include <chrono>
#include <cstddef>

// One open capture of a wave-in device: the bytes it has captured since
// Start, paced the way the device paces them. The owning stream calls it with
// its own lock held, so an implementation needs no lock of its own.
class WaveInBackend {
public:
    using Clock = std::chrono::steady_clock;

    WaveInBackend() = default;
    virtual ~WaveInBackend() = default;
    WaveInBackend(const WaveInBackend&) = delete;
    WaveInBackend& operator=(const WaveInBackend&) = delete;

    // The name of the stream thread that serves this capture.
    virtual const char* ThreadName() const = 0;
    // Capturing begins now; the device's clock counts from here.
    virtual void Start() = 0;
    // Capturing stops. What the device does with bytes not read by then is
    // its own affair.
    virtual void Stop() = 0;
    // Bytes captured and not yet read, whole sample frames only; 0 while
    // stopped.
    virtual size_t Available() = 0;
    // While capturing: when Available() reaches `bytes`.
    virtual Clock::time_point ReadyAt(size_t bytes) = 0;
    // Moves `bytes` captured bytes (no more than Available()) into `data`.
    virtual void Read(char* data, size_t bytes) = 0;
};
