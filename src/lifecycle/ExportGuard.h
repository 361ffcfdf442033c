// SPDX-License-Identifier: MIT
#pragma once

#include "log/LogFile.h"
#include "platform/platform.h"

// Runs body() so that nothing leaves it: a C++ exception of any type, or a
// processor fault inside it, writes `exceptionText` as one record and ends
// the body there; false then. Only a forced unwind, which ends the calling
// thread, goes on through. Every exported function and every library
// thread runs its body so.
template <typename Body> bool RunGuarded(const char* exceptionText, Body body) {
    const bool completed =
        CallGuarded([](void* context) { (*static_cast<Body*>(context))(); }, &body);
    if (!completed)
        g_Log.Write("%s", exceptionText);
    return completed;
}

// The body of an exported function, guarded: its result, or its exception
// result after an exception or a fault.
template <typename Body> int RunExport(const char* exceptionText, int exceptionResult, Body body) {
    int result = exceptionResult;
    return RunGuarded(exceptionText, [&result, &body] { result = body(); }) ? result
                                                                            : exceptionResult;
}
