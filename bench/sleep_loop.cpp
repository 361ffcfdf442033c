// SPDX-License-Identifier: MIT
// The floor of a thread that must look every 20 ms: a bare loop of 20 ms
// sleeps, measured beside the library's play thread by peer_bench.py.
#include <time.h>

int main() {
    const timespec period{0, 20 * 1000 * 1000};
    for (;;)
        nanosleep(&period, nullptr);
}
