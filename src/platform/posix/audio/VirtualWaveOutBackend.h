#pragma once

#include "platform/posix/audio/PlayingHeaders.h"
#include "platform/posix/audio/StreamThread.h"
#include "platform/posix/audio/VirtualClock.h"
#include "platform/posix/audio/WaveOutBackend.h"

#include <condition_variable>
#include <mutex>

// A stream of the virtual output. Its thread sleeps until the first queued
// header is due on the virtual clock, plays it (appending its bytes to the
// file of KALDRIX_VIRTUAL_OUT, when one was named) and marks it done; the
// clock counts from the moment the stream began to play after being idle.
// The streams of the device take turns on its one output.
class VirtualWaveOutBackend : public WaveOutBackend {
public:
    // `dump`: the descriptor the played bytes are appended to (owned), or -1.
    VirtualWaveOutBackend(DWORD byteRate, WORD blockAlign, int dump);
    ~VirtualWaveOutBackend() override;

    void Play(WAVEHDR* header) override;
    void Stop() override;
    bool Busy() override;

private:
    void Run();
    // The stream position the clock has reached.
    ULONGLONG Position() const;
    // Plays the queued bytes up to `position`, returning each header whose
    // end it reaches.
    void Advance(ULONGLONG position);
    // The one output of the virtual device: taken to play, given up when
    // idle (see g_speaker).
    bool TakeSpeaker();
    void ReleaseSpeaker();

    const int m_dump;
    VirtualClock m_clock;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    PlayingHeaders m_headers;
    ULONGLONG m_queued = 0;     // bytes written since the open or the last stop
    ULONGLONG m_played = 0;     // of those, the ones played
    ULONGLONG m_startBytes = 0; // bytes played when the clock last started
    bool m_speaking = false;    // playing through the output, on the clock
    StreamThread m_thread;
};
