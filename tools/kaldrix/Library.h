// SPDX-License-Identifier: MIT
// The six functions of the library as the host reaches them: loaded by name,
// libkaldrix.so.1 on Linux (posix/Library.cpp), KALDRIX.dll on Windows
// (win32/Library.cpp).
#pragma once

#include "kaldrix.h"

namespace cli {

struct Library {
    int(KALDRIX_CALL* StartRecFile)(const char* fileName);
    int(KALDRIX_CALL* StopRecFile)();
    int(KALDRIX_CALL* StartPlayFile)(const char* fileName);
    int(KALDRIX_CALL* StopPlayFile)();
    int(KALDRIX_CALL* PlayStatus)();
    int(KALDRIX_CALL* RecordStatus)();
};

// Loads the library on first use; throws Failure(kNoLibrary) when it cannot.
const Library& OpenKaldrix();

} // namespace cli
