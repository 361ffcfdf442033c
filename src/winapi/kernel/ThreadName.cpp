// SPDX-License-Identifier: MIT
#include "winapi/kernel/ThreadState.h"

#include <pthread.h>

void NameCurrentThread(const char* name) {
    ParkIfTerminated();
    pthread_setname_np(pthread_self(), name);
}
