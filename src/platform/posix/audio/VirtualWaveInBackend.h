#pragma once

#include "platform/posix/audio/VirtualClock.h"
#include "platform/posix/audio/WaveInBackend.h"
#include "platform/posix/WindowsApi.h"

#include <cstdint>

// The virtual input's capture: bytes become available at the format's byte
// rate on the virtual clock, counted from Start, so the device does not
// drift. The source is the
// file named at open, from its first byte on and without dropping any (then
// silence), or a 440 Hz tone; a stop keeps the source's place.
class VirtualWaveInBackend : public WaveInBackend {
public:
    // `sourcePath` null: the tone.
    VirtualWaveInBackend(const WAVEFORMATEX& format, const char* sourcePath);
    ~VirtualWaveInBackend() override;

    const char* ThreadName() const override { return "kx-in-virtual"; }
    void Start() override;
    void Stop() override;
    size_t Available() override;
    Clock::time_point ReadyAt(size_t bytes) override;
    void Read(char* data, size_t bytes) override;

private:
    void ReadSource(char* data, size_t bytes);
    void Silence(char* data, size_t bytes) const;
    void Tone(char* data, size_t bytes);

    const WAVEFORMATEX m_format;
    const bool m_fromFile;
    int m_file = -1; // -1 once the file has ended (or could not be opened)
    VirtualClock m_clock;
    bool m_running = false;
    uint64_t m_readSinceStart = 0;
    uint64_t m_toneFrame = 0;
};
