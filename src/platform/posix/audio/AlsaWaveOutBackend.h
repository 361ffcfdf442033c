#pragma once

#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/PlayingHeaders.h"
#include "platform/posix/audio/PollWakeup.h"
#include "platform/posix/audio/StreamThread.h"
#include "platform/posix/audio/WaveOutBackend.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// A wave-out stream on an ALSA PCM. A writer thread feeds the PCM from the
// queued headers as room comes free; the bytes count as played once the
// PCM's delay says they have been heard, not when they were written, and
// never sooner than the format's rate allows since the data began to flow;
// the writer then marks the header done. It sleeps in poll() on the PCM and
// on a wake-up descriptor for commands: once a period while the PCM is full,
// until the next header is heard while it plays out, for good while idle.
// The writer is the only thread that touches the PCM, so a stop is a request
// it carries out (drop, prepare) before Stop returns.
class AlsaWaveOutBackend : public WaveOutBackend {
public:
    // `silence`: the byte value of silence in the PCM's sample format.
    AlsaWaveOutBackend(std::unique_ptr<AlsaPcm> pcm, char silence);
    ~AlsaWaveOutBackend() override;

    void Play(WAVEHDR* header) override;
    void Stop() override;
    bool Busy() override;

private:
    struct Chunk {
        const char* data;
        DWORD size;
    };

    // The writer thread and its steps, all with m_mutex held.
    void Run();
    bool WriteSome();
    bool WriteSplitFrame();
    void Consume(ULONGLONG bytes);
    void UpdatePlayed();
    int NextHeardMs() const;
    int PeriodMs() const;
    void DropAll();

    const std::unique_ptr<AlsaPcm> m_pcm;
    const unsigned m_frameBytes;
    const double m_byteRate;
    const char m_silence;
    std::vector<char> m_splitFrame; // one frame put together from several chunks

    std::mutex m_mutex;
    PollWakeup m_wakeup;               // to the writer: data, a stop, the close
    std::condition_variable m_stopped; // from the writer: a stop carried out
    PlayingHeaders m_headers;          // queued and not yet heard, in order
    std::vector<Chunk> m_pending;      // queued and not yet written, in order
    DWORD m_frontOffset = 0;           // bytes of the first chunk already written
    ULONGLONG m_pendingBytes = 0;
    ULONGLONG m_written = 0; // data bytes the PCM took since the open or the last stop
    ULONGLONG m_played = 0;  // of those, the ones heard
    // When data last began to flow into an idle PCM, and what was heard then.
    std::chrono::steady_clock::time_point m_flowStart;
    ULONGLONG m_flowStartBytes = 0;
    unsigned m_stopRequests = 0;
    unsigned m_stopsDone = 0;
    StreamThread m_writer;
};
