// SPDX-License-Identifier: MIT
#include "platform/CancellationHold.h"

#include <pthread.h>

CCancellationHold::CCancellationHold() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_previousState);
}

CCancellationHold::~CCancellationHold() { pthread_setcancelstate(m_previousState, nullptr); }
