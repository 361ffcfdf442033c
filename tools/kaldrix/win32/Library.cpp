// SPDX-License-Identifier: MIT
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

// The system's text for a load error, and what error 193 means here.
std::string LoadError(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = length ? std::string(text, length) : "";
    LocalFree(text);
    // Some texts name the module as the insert %1.
    const size_t insert = message.find("%1");
    if (insert != std::string::npos)
        message.replace(insert, 2, "KALDRIX.dll");
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    message = "cannot load KALDRIX.dll: " + (message.empty() ? "unknown error" : message) +
              " (error " + std::to_string(error) + ")";
    if (error == ERROR_BAD_EXE_FORMAT)
        message += sizeof(void*) == 8 ? "; kaldrix.exe is 64-bit and needs the 64-bit KALDRIX.dll"
                                      : "; kaldrix.exe is 32-bit and needs the 32-bit KALDRIX.dll";
    else if (error == ERROR_MOD_NOT_FOUND)
        message += "; it belongs beside kaldrix.exe";
    return message;
}

Library Load() {
    HMODULE module = LoadLibraryA("KALDRIX.dll");
    if (!module)
        throw Failure(kNoLibrary, LoadError(GetLastError()));
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
