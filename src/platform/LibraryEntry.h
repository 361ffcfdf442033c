// SPDX-License-Identifier: MIT
#pragma once

// The library's attach and detach notifications, delivered by the platform:
// on Windows by DllMain (attach) and a TLS callback (detach); on POSIX by the construction and destruction of the
// one CLibraryEntry object, which is defined after the global objects in
// their translation unit, so it runs after they are built and before they go.
struct LibraryHooks {
    void (*attach)();
    // processExit: the process is ending and other threads may already be
    // gone, possibly holding locks; nothing may wait on them.
    void (*detach)(bool processExit);
    // POSIX only: runs in a child that a fork made while the library was
    // loaded, before fork returns there. It may not wait on anything, as the
    // parent's threads, which may have held any lock, are not in the child.
    // True when the parent was using the library at the fork (a call in
    // progress, an engine running): the child then leaves it all alone.
    bool (*forkedChild)();
};

class CLibraryEntry {
public:
    explicit CLibraryEntry(LibraryHooks hooks);
    ~CLibraryEntry();
    CLibraryEntry(const CLibraryEntry&) = delete;
    CLibraryEntry& operator=(const CLibraryEntry&) = delete;
};

// True in a child process that a fork made while the parent was using the
// library: the library's threads, devices and files there belong to the
// parent. The child of a parent that was not using it (no call in progress,
// no engine or library thread running) has a library as good as new. Always
// false on Windows.
bool IsForkedChild();

// In a forked child, gives a lock that a thread of the parent may have held
// at the fork a fresh, unheld state. Windows has no fork: nothing to do.
void ResetLockInForkedChild(LPCRITICAL_SECTION section);
