#include "platform/LibraryEntry.h"
#include "platform/posix/ThreadState.h"

namespace {
LibraryHooks g_hooks{};
}

// The library is loaded (by dlopen or at program start) and its globals are
// built; unloading runs the destructor before they are destroyed. exit() runs
// static destructors while other threads still live, so this is never a
// process-exit detach in the Windows sense.
CLibraryEntry::CLibraryEntry(LibraryHooks hooks) {
    g_hooks = hooks;
    if (g_hooks.attach)
        g_hooks.attach();
}

// The detach stops the engines; their threads have returned then, but may
// still be on their way out through the library's code.
CLibraryEntry::~CLibraryEntry() {
    if (g_hooks.detach)
        g_hooks.detach(false);
    JoinReturnedThreads();
}
