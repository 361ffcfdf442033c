// SPDX-License-Identifier: MIT
// The system loader tells the library of its attach through DllMain and of
// its detach through a TLS callback. The runtime builds the static objects
// before DllMain sees the attach and destroys them after the detach.
//
// The detach cannot wait for DllMain: the loader calls a module's TLS
// callbacks first, and the runtime's own callback then frees the detaching
// thread's emulated thread-local variables, among them the C++ runtime's
// exception state, while the thread's slot still points to them. A throw
// during the detach (the stop of a recording whose file was never created
// throws and catches its file error) would then write into freed heap
// blocks and break the heap. The loader calls the callbacks in the order
// of their sections' names; the runtime's are .CRT$XLB to .CRT$XLD.
#include "platform/platform.h"
#include "platform/win32/StandardOutput.h"

// The C++ runtime linked into the DLL allocates its emergency exception pool
// at each load and never frees it; this, its hook for leak checkers, does.
namespace __gnu_cxx {
void __freeres();
}

namespace {

LibraryHooks g_hooks{};
// Set once DllMain has seen the attach: a program that links these objects
// itself has no attach, and no detach either.
bool g_attached = false;

// The TLS callbacks are not told what DllMain's reserved argument tells:
// whether the process is ending. ntdll answers that; looked up by name, as
// the DLL imports nothing of ntdll.
bool ProcessEnding() {
    using Query = BOOLEAN(NTAPI*)();
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")));
    return query && query();
}

void NTAPI OnTlsCallback(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_PROCESS_DETACH || !g_attached)
        return;
    g_attached = false;
    SetEchoInsideLoader(true);
    const bool processEnding = ProcessEnding();
    if (g_hooks.detach)
        g_hooks.detach(processEnding);
    // After the detach's last throw. No library thread runs: each holds the
    // DLL. At the process's exit the memory goes anyway.
    if (!processEnding)
        __gnu_cxx::__freeres();
}

// Before the runtime's callbacks, after the start of the list (.CRT$XLA).
[[gnu::section(".CRT$XLAK"), gnu::used]] PIMAGE_TLS_CALLBACK g_detachCallback = OnTlsCallback;

} // namespace

CLibraryEntry::CLibraryEntry(LibraryHooks hooks) { g_hooks = hooks; }

CLibraryEntry::~CLibraryEntry() = default;

bool IsForkedChild() { return false; }

void ResetLockInForkedChild(LPCRITICAL_SECTION) {}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_attached = true;
        SetEchoInsideLoader(true);
        if (g_hooks.attach)
            g_hooks.attach();
        SetEchoInsideLoader(false);
    }
    return TRUE;
}
