#pragma once

#include <atomic>

// What the ALSA backends hold and have been through, counted for the test
// interface (AlsaTestInterface.h), and the stall it asks of the capture.
// Plain atomics: nothing to build or destroy.
struct AlsaActivity {
    static std::atomic<int> openPcms;
    static std::atomic<int> threads;
    static std::atomic<int> recoveredXruns;
    static std::atomic<int> captureStallMs;
};

// Counts the calling worker thread for as long as the object lives.
class CountedAlsaThread {
public:
    CountedAlsaThread() { AlsaActivity::threads.fetch_add(1); }
    ~CountedAlsaThread() { AlsaActivity::threads.fetch_sub(1); }
    CountedAlsaThread(const CountedAlsaThread&) = delete;
    CountedAlsaThread& operator=(const CountedAlsaThread&) = delete;
};
