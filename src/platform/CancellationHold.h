// SPDX-License-Identifier: MIT
#pragma once

// Holds off the cancellation of the calling thread for its lifetime, so that
// a host's pthread_cancel never lands inside the library: a cancellation
// requested meanwhile acts at the thread's next cancellation point after the
// hold has gone. Holds nest. Windows threads cannot be cancelled: nothing to
// hold there.
class CCancellationHold {
public:
    CCancellationHold();
    ~CCancellationHold();
    CCancellationHold(const CCancellationHold&) = delete;
    CCancellationHold& operator=(const CCancellationHold&) = delete;

private:
    int m_previousState = 0;
};
