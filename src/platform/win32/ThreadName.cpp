// SPDX-License-Identifier: MIT
#include "platform/platform.h"

namespace {

using SetThreadDescriptionProc = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Windows 10 1607 and later have SetThreadDescription; older systems and some
// Wine versions do not, so it is looked up instead of imported.
SetThreadDescriptionProc FindSetThreadDescription() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return nullptr;
    void* proc = reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription"));
    return reinterpret_cast<SetThreadDescriptionProc>(proc);
}

} // namespace

void NameCurrentThread(const char* name) {
    const SetThreadDescriptionProc describe = FindSetThreadDescription();
    if (!describe)
        return;
    // The names are ASCII: each character widens as it is.
    wchar_t wide[32];
    size_t length = 0;
    for (; name[length] && length + 1 < sizeof wide / sizeof wide[0]; ++length)
        wide[length] = static_cast<unsigned char>(name[length]);
    wide[length] = L'\0';
    describe(GetCurrentThread(), wide);
}
