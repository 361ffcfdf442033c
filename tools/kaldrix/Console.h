// SPDX-License-Identifier: MIT
// What the host needs of the console, one implementation per platform
// (posix/Console.cpp, win32/Console.cpp).
#pragma once

#include <cstdio>

namespace cli {

// Opens the null device on each of standard input, output and error that is
// closed when the program starts, as the standard tools do: a file that the
// program or the library opens later then never takes one of their numbers,
// and no progress line or log record lands in it. False when the null
// device cannot be opened.
bool OpenClosedStandardStreams();
// Standard output was closed as the program started: results written there
// are lost, and that is a failure, not the null device's success.
bool StandardOutputWasClosed();

bool IsTerminal(std::FILE* stream);
// The width of the terminal standard error is, in columns; 80 when it does
// not say.
unsigned TerminalColumns();

// Ctrl-C, a termination request and a hang-up (SIGINT, SIGTERM, SIGHUP)
// only raise a flag; the command's main loop sees it and stops the library's
// job through its stop function.
void InstallStopRequest();
bool StopRequested();

// Holds the stop signals back from the calling thread until released. The
// threads that the library starts meanwhile inherit that, so a Ctrl-C never
// interrupts a library thread and always reaches the main loop.
void HoldStopSignals();
void ReleaseStopSignals();

class StopRequestShield {
public:
    StopRequestShield() { HoldStopSignals(); }
    ~StopRequestShield() { ReleaseStopSignals(); }
    StopRequestShield(const StopRequestShield&) = delete;
    StopRequestShield& operator=(const StopRequestShield&) = delete;
};

// True once Enter has been pressed on a terminal standard input; consumes
// the line. Always false when standard input is not a terminal.
bool EnterPressed();

void SleepMs(unsigned milliseconds);

// The progress line and the library's log share one terminal, written from
// two threads: whoever writes to it holds this lock.
class ScreenLock {
public:
    ScreenLock();
    ~ScreenLock();
    ScreenLock(const ScreenLock&) = delete;
    ScreenLock& operator=(const ScreenLock&) = delete;
};

} // namespace cli
