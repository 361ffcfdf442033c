// SPDX-License-Identifier: MIT
// The library is loaded by name, as any host loads it, so that its attach
// (which reads the echo's settings and writes the first record) runs after
// main has set them.
#include "Library.h"
#include "Failure.h"
#include "WindowsCalls.h"

#include <cstring>

namespace cli {

namespace {

// Added in 1.1: a library of 1.0 lacks it, and then records the default
// format only.
constexpr char kAddedFunction[] = "KxStartRecFileFormat";

// GetProcAddress answers a generic function pointer; going through
// void (*)() tells the compiler that the cast to the real type is meant.
template <typename Function> void Resolve(HMODULE module, const char* name, Function& function) {
    const FARPROC address = GetProcAddress(module, name);
    if (!address && std::strcmp(name, kAddedFunction) != 0)
        throw Failure(kNoLibrary, std::string(kLibraryName) + " does not export " + name);
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

Library Load() {
    const HMODULE module = LoadLibraryA(kLibraryName);
    if (!module)
        throw Failure(kNoLibrary, LoadError(GetLastError()));
    Library library{};
#define KALDRIX_RESOLVE(name) Resolve(module, #name, library.name);
    KALDRIX_FUNCTIONS(KALDRIX_RESOLVE)
#undef KALDRIX_RESOLVE
    // The library stays loaded until the process ends, as a linked one.
    return library;
}

} // namespace

const Library& OpenKaldrix() {
    static const Library library = Load();
    return library;
}

} // namespace cli
