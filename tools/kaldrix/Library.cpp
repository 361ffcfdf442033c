// SPDX-License-Identifier: MIT
// The library is loaded by name, as any host loads it, so that its attach
// (which reads the echo's settings and writes the first record) runs after
// main has set them.
#include "Library.h"
#include "Failure.h"
#include "WindowsCalls.h"

namespace cli {

namespace {

// GetProcAddress answers a generic function pointer; going through
// void (*)() tells the compiler that the cast to the real type is meant. A
// function that is not required stays null where the library lacks it.
template <typename Function>
void Resolve(HMODULE module, const char* name, bool required, Function& function) {
    const FARPROC address = GetProcAddress(module, name);
    if (!address && required)
        throw Failure(kNoLibrary, std::string(kLibraryName) + " does not export " + name);
    function =
        address ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address)) : nullptr;
}

Library Load() {
    const HMODULE module = LoadLibraryA(kLibraryName);
    if (!module)
        throw Failure(kNoLibrary, LoadError(GetLastError()));
    Library library{};
#define KALDRIX_RESOLVE(name, required) Resolve(module, #name, required, library.name);
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
