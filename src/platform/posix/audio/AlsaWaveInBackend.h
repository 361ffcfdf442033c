#pragma once

#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/StreamThread.h"
#include "platform/posix/audio/WaveInBackend.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// A capture on an ALSA PCM. A reader thread takes what the PCM has captured,
// a period at a time, into a ring buffer, from which the wave-in stream
// fills its headers. The reader is the only thread that touches the PCM;
// Start and Stop only tell it what to do. The ring holds two seconds: when
// nobody empties it for longer, what does not fit is lost, as with a sound
// card that has no buffer queued.
class AlsaWaveInBackend : public WaveInBackend {
public:
    // `silence`: the byte value of silence in the PCM's sample format.
    AlsaWaveInBackend(std::unique_ptr<AlsaPcm> pcm, char silence);
    ~AlsaWaveInBackend() override;

    const char* ThreadName() const override { return "kx-in-alsa"; }
    void Start() override;
    void Stop() override;
    size_t Available() override;
    // When Available() can next reach `bytes`: now when it has, else after
    // the time the missing bytes take at the format's rate (at least a poll).
    Clock::time_point ReadyAt(size_t bytes) override;
    // Waits for the bytes if the reader is a moment late; a PCM that has
    // stopped delivering gives silence instead, so a header never hangs.
    void Read(char* data, size_t bytes) override;

private:
    void Run();
    void Append(const char* data, size_t bytes);
    size_t WholeFrames(size_t bytes) const { return bytes - bytes % m_frameBytes; }

    const std::unique_ptr<AlsaPcm> m_pcm;
    const unsigned m_frameBytes;
    const unsigned m_byteRate;
    const char m_silence;

    std::mutex m_mutex;
    std::condition_variable m_wake;   // to the reader: start, stop, close
    std::condition_variable m_filled; // from the reader: bytes appended
    std::vector<char> m_ring;
    size_t m_ringStart = 0; // first unread byte
    size_t m_ringBytes = 0; // unread bytes
    bool m_running = false;
    unsigned m_generation = 0; // counts the starts and stops
    StreamThread m_reader;
};
