// SPDX-License-Identifier: MIT
// The POSIX layer's interface for tests: provoke the failures the core
// handles, and look inside the layer. Not exported by the shared library.
#pragma once

#include "winapi/WindowsApi.h"

#include <map>
#include <string>

namespace kxtest {

// Makes `count` calls of the named operation (its Windows name, such as
// "waveInOpen") fail with `code`, starting with the nth call from now;
// count 0 means every call from the nth on.
void FailOperation(const char* operation, DWORD code, unsigned nth = 1, unsigned count = 1);
// Holds `count` calls of the named operation for `milliseconds` on entry,
// starting with the nth, like a slow disk or driver; the calls then go on.
void DelayOperation(const char* operation, unsigned milliseconds, unsigned nth = 1,
                    unsigned count = 1);
void ClearFailures();

// How often an operation was called since CountCalls, and which of those
// calls (1-based, 0 for none) were the first and the last made on a thread
// that CreateThread started.
struct CallCount {
    unsigned calls = 0;
    unsigned firstOnLibraryThread = 0;
    unsigned lastOnLibraryThread = 0;
};
// From now on every operation that can be made to fail is counted by name.
void CountCalls();
std::map<std::string, CallCount> CountedCalls();

// Shifts GetTickCount by `offset` milliseconds, so tests can cross the
// 2^32 wrap.
void SetTickOffset(DWORD offset);

// How many kernel object handles (threads, events) are open, so tests can
// see that none is left behind.
unsigned OpenHandleCount();

// Holds the next CFile::Write made on a thread that CreateThread started
// inside the write, before any of its bytes are written, until
// ReleaseFileWrite: a write that blocks for as long as the test wants.
// WaitForHeldFileWrite waits up to `milliseconds` for a thread to be held
// there; false if none came. ReleaseFileWrite also disarms a hold that has
// not been reached.
void HoldNextFileWrite();
bool WaitForHeldFileWrite(DWORD milliseconds);
void ReleaseFileWrite();

} // namespace kxtest
