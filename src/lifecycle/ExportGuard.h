// SPDX-License-Identifier: MIT
#pragma once

#include "log/LogFile.h"
#include "platform/platform.h"

// Runs the body of an exported function so that nothing leaves it: a C++
// exception of any type, or a processor fault inside the body, writes the
// export's exception text as one record and yields its exception result.
// Only a forced unwind, which ends the calling thread, goes on through.
template <typename Body> int RunExport(const char* exceptionText, int exceptionResult, Body body) {
    int result = exceptionResult;
    auto call = [&result, &body] { result = body(); };
    const bool completed =
        CallGuarded([](void* context) { (*static_cast<decltype(call)*>(context))(); }, &call);
    if (!completed) {
        g_Log.Write("%s", exceptionText);
        result = exceptionResult;
    }
    return result;
}
