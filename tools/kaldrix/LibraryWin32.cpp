#include "Failure.h"
#include "Library.h"

#include <windows.h>

namespace cli {

namespace {

// GetProcAddress answers a generic function pointer; going through
// void (*)() tells the compiler that the cast to the real type is meant.
template <typename Function> void Resolve(HMODULE module, const char* name, Function& function) {
    FARPROC address = GetProcAddress(module, name);
    if (!address)
        throw Failure(kNoLibrary, std::string("KALDRIX.dll does not export ") + name);
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

Library Load() {
    HMODULE module = LoadLibraryA("KALDRIX.dll");
    if (!module)
        throw Failure(kNoLibrary,
                      "cannot load KALDRIX.dll (error " + std::to_string(GetLastError()) + ")");
    Library library{};
    Resolve(module, "KxStartRecFile", library.StartRecFile);
    Resolve(module, "KxStopRecFile", library.StopRecFile);
    Resolve(module, "KxStartPlayFile", library.StartPlayFile);
    Resolve(module, "KxStopPlayFile", library.StopPlayFile);
    Resolve(module, "KxPlayStatus", library.PlayStatus);
    Resolve(module, "KxRecordStatus", library.RecordStatus);
    // The module stays loaded until the process ends, like a linked library.
    return library;
}

} // namespace

const Library& OpenKaldrix() {
    static const Library library = Load();
    return library;
}

} // namespace cli
