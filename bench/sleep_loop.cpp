// SPDX-License-Identifier: MIT
// The floor of a thread that must look every 20 ms: a bare loop of 20 ms
// sleeps, measured beside the library's play thread by peer_bench.py.
#include <csignal>
#include <time.h>

// The bench stops it with SIGINT, which a shell ignores in what it starts in
// the background.
int main() {
    std::signal(SIGINT, SIG_DFL);
    const timespec period{0, 20 * 1000 * 1000};
    for (;;)
        nanosleep(&period, nullptr);
}
