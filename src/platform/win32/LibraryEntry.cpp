// The system loader tells the library of its attach and detach through
// DllMain. The runtime builds the static objects before DllMain sees the
// attach and destroys them after it has seen the detach.
#include "platform/platform.h"
#include "platform/win32/StandardOutput.h"

namespace {
LibraryHooks g_hooks{};
}

CLibraryEntry::CLibraryEntry(LibraryHooks hooks) { g_hooks = hooks; }

CLibraryEntry::~CLibraryEntry() = default;

bool IsForkedChild() { return false; }

void ResetLockInForkedChild(LPCRITICAL_SECTION) {}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        SetEchoInsideLoader(true);
        if (g_hooks.attach)
            g_hooks.attach();
        SetEchoInsideLoader(false);
        break;
    case DLL_PROCESS_DETACH:
        // A non-null reserved argument means the process is ending: its other
        // threads are gone already, possibly holding locks.
        SetEchoInsideLoader(true);
        if (g_hooks.detach)
            g_hooks.detach(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
