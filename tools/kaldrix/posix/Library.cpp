// SPDX-License-Identifier: MIT
// The library is loaded by name with dlopen, as the Windows build loads
// KALDRIX.dll, so that its attach (which reads the echo's settings and
// writes the first record) runs after main has set them.
#include "Failure.h"
#include "Library.h"

#include <dlfcn.h>
#include <string>

namespace cli {

namespace {

constexpr char kLibraryName[] = "libkaldrix.so.1";

template <typename Function> void Resolve(void* handle, const char* name, Function& function) {
    void* address = dlsym(handle, name);
    if (!address)
        throw Failure(kNoLibrary, std::string(kLibraryName) + " does not export " + name);
    function = reinterpret_cast<Function>(address);
}

Library Load() {
    void* handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw Failure(kNoLibrary, std::string("cannot load ") + dlerror());
    Library library{};
    Resolve(handle, "KxStartRecFile", library.StartRecFile);
    Resolve(handle, "KxStopRecFile", library.StopRecFile);
    Resolve(handle, "KxStartPlayFile", library.StartPlayFile);
    Resolve(handle, "KxStopPlayFile", library.StopPlayFile);
    Resolve(handle, "KxPlayStatus", library.PlayStatus);
    Resolve(handle, "KxRecordStatus", library.RecordStatus);
    // The library stays loaded until the process ends, as a linked one.
    return library;
}

} // namespace

const Library& OpenKaldrix() {
    static const Library library = Load();
    return library;
}

} // namespace cli
