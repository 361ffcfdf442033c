// SPDX-License-Identifier: MIT
#include "Library.h"

#include <windows.h>

namespace cli {

const char kLibraryName[] = "KALDRIX.dll";

// The system's text for a load error, and what error 193 means here.
std::string LoadError(unsigned long error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
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

} // namespace cli
