// SPDX-License-Identifier: MIT
// A minimal host for the peer benchmarks (bench/peer_bench.py): one recording
// or one playback through the exports of libkaldrix.so, nothing else, so that
// the process's CPU time and memory are the library's plus a bare host's.
//   session_host record FILE SECONDS [RATE CHANNELS BITS]
//                                      KxStartRecFile (or KxStartRecFileFormat
//                                      for the format given), SECONDS,
//                                      KxStopRecFile
//   session_host play FILE SECONDS     KxStartPlayFile, SECONDS, KxStopPlayFile
// Prints one line per call, "start|stop BEGAN RETURNED RESULT" with the
// CLOCK_MONOTONIC times in seconds (the clock of Python's time.monotonic).
// Exits 0 when both calls succeeded.
#include "kaldrix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Sleeps until the monotonic time `until`, whatever signals interrupt it.
void SleepUntil(double until) {
    timespec at{};
    at.tv_sec = time_t(until);
    at.tv_nsec = long((until - double(at.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
}

// Calls `call`, prints its line and tells whether it answered `wanted`.
bool Timed(const char* name, int (*call)(), int wanted) {
    const double began = Now();
    const int result = call();
    const double returned = Now();
    std::printf("%s %.6f %.6f %d\n", name, began, returned, result);
    std::fflush(stdout);
    return result == wanted;
}

const char* g_path = nullptr;
int g_format[3] = {0, 0, 0}; // rate, channels, bits; 0: KxStartRecFile's own

int StartRecording() {
    return g_format[0] ? KxStartRecFileFormat(g_path, g_format[0], g_format[1], g_format[2])
                       : KxStartRecFile(g_path);
}
int StartPlayback() { return KxStartPlayFile(g_path); }

} // namespace

int main(int argc, char** argv) {
    const bool record = argc > 1 && std::strcmp(argv[1], "record") == 0;
    const bool play = argc > 1 && std::strcmp(argv[1], "play") == 0;
    if (!((record || play) && argc == 4) && !(record && argc == 7)) {
        std::fprintf(stderr,
                     "usage: %s record|play FILE SECONDS, or record FILE SECONDS RATE "
                     "CHANNELS BITS\n",
                     argv[0]);
        return 2;
    }
    for (int i = 0; argc == 7 && i < 3; ++i)
        g_format[i] = std::atoi(argv[4 + i]);
    g_path = argv[2];
    const double seconds = std::atof(argv[3]);

    const bool started = Timed("start", record ? StartRecording : StartPlayback, 1);
    SleepUntil(Now() + seconds);
    // KxStopRecFile answers 1 for a completed file, KxStopPlayFile 0 once stopped.
    const bool stopped =
        record ? Timed("stop", KxStopRecFile, 1) : Timed("stop", KxStopPlayFile, 0);
    return started && stopped ? 0 : 1;
}
