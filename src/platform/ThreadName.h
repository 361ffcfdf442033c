// SPDX-License-Identifier: MIT
#pragma once

// Names the calling thread, so that `top -H`, a debugger and a crash dump show
// whose thread it is. At most 15 characters. Best effort: a system that keeps
// no thread names leaves the thread unnamed. On Windows platform/win32
// names it; on POSIX the Windows-call emulation does, which names its own
// threads the same way (winapi/kernel/ThreadName.cpp).
void NameCurrentThread(const char* name);
