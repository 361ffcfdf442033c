// SPDX-License-Identifier: MIT
// The functions of the library as the host reaches them: loaded by name,
// libkaldrix.so.1 on Linux, KALDRIX.dll on Windows, each function resolved
// by the name that the export table gives it.
#pragma once

#include "KaldrixFunctions.h"
#include "kaldrix.h"

#include <string>

namespace cli {

// A function that a later version added is null in an older library.
struct Library {
#define KALDRIX_FUNCTION_POINTER(name, required) decltype(&::name) name;
    KALDRIX_FUNCTIONS(KALDRIX_FUNCTION_POINTER)
#undef KALDRIX_FUNCTION_POINTER
};

// Loads the library on first use; throws Failure(kNoLibrary) when it cannot.
const Library& OpenKaldrix();

// Each platform's part (posix/Library.cpp, win32/Library.cpp): the
// library's file name, and what a load that failed with `error`
// (GetLastError's code) says.
extern const char kLibraryName[];
std::string LoadError(unsigned long error);

} // namespace cli
