// The POSIX layer's interface for tests: provoke the failures the core
// handles, and look inside the layer. Not exported by the shared library.
#pragma once

#include "platform/posix/WindowsApi.h"

namespace kxtest {

// Makes `count` calls of the named operation (its Windows name, such as
// "waveInOpen") fail with `code`, starting with the nth call from now;
// count 0 means every call from the nth on.
void FailOperation(const char* operation, DWORD code, unsigned nth = 1, unsigned count = 1);
void ClearFailures();

// Shifts GetTickCount by `offset` milliseconds, so tests can cross the
// 2^32 wrap.
void SetTickOffset(DWORD offset);

// How many kernel object handles (threads, events) are open, so tests can
// see that none is left behind.
unsigned OpenHandleCount();

} // namespace kxtest
