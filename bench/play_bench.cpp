// SPDX-License-Identifier: MIT
// Playback costs on the virtual device: CPU time per minute of playback and
// how long KxStartPlayFile and KxStopPlayFile take to return.
//   play_bench [SECONDS] [ROUNDS]
// plays a 16-bit mono 8000 Hz file of SECONDS (default 20) once for the CPU
// figure, then starts and stops a playback ROUNDS times (default 10).
#include "kaldrix.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void PutLe(std::FILE* file, unsigned value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        std::fputc(int(value >> (8 * i)) & 0xFF, file);
}

bool WriteWave(const char* path, unsigned seconds) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file)
        return false;
    const unsigned dataSize = seconds * 16000;
    std::fwrite("RIFF", 1, 4, file);
    PutLe(file, 36 + dataSize, 4);
    std::fwrite("WAVEfmt ", 1, 8, file);
    PutLe(file, 16, 4); // fmt size
    PutLe(file, 1, 2);  // PCM
    PutLe(file, 1, 2);  // mono
    PutLe(file, 8000, 4);
    PutLe(file, 16000, 4);
    PutLe(file, 2, 2);
    PutLe(file, 16, 2);
    std::fwrite("data", 1, 4, file);
    PutLe(file, dataSize, 4);
    for (unsigned i = 0; i < dataSize / 2; ++i)
        PutLe(file, unsigned(int(8000.0 * ((i % 20) - 10) / 10.0)) & 0xFFFF, 2);
    return std::fclose(file) == 0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const unsigned seconds = argc > 1 ? unsigned(std::atoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    setenv("KALDRIX_AUDIO", "virtual", 0);
    char path[] = "/tmp/kaldrix-play-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || close(fd) != 0 || !WriteWave(path, seconds)) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }

    const double cpuBefore = CpuSeconds();
    const Clock::time_point started = Clock::now();
    if (KxStartPlayFile(path) != 1) {
        std::fprintf(stderr, "playback did not start\n");
        return 1;
    }
    while (KxPlayStatus() != 0) {
    }
    const double wallMs = MillisecondsSince(started);
    const double cpuMs = (CpuSeconds() - cpuBefore) * 1000;
    std::printf("played %u s in %.0f ms wall, %.1f ms CPU: %.1f ms CPU per minute of playback\n",
                seconds, wallMs, cpuMs, cpuMs * 60 / seconds);

    std::vector<double> startMs, stopMs;
    for (int round = 0; round < rounds; ++round) {
        Clock::time_point at = Clock::now();
        KxStartPlayFile(path);
        startMs.push_back(MillisecondsSince(at));
        usleep(300000);
        at = Clock::now();
        KxStopPlayFile();
        stopMs.push_back(MillisecondsSince(at));
    }
    std::printf("KxStartPlayFile median %.2f ms, KxStopPlayFile median %.1f ms (%d rounds)\n",
                Median(startMs), Median(stopMs), rounds);
    unlink(path);
    return 0;
}
