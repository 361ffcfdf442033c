#pragma once

// The library's attach and detach notifications, delivered by the platform:
// by DllMain on Windows; on POSIX by the construction and destruction of the
// one CLibraryEntry object, which is defined after the global objects in
// their translation unit, so it runs after they are built and before they go.
struct LibraryHooks {
    void (*attach)();
    // processExit: the process is ending and other threads may already be
    // gone, possibly holding locks; nothing may wait on them.
    void (*detach)(bool processExit);
};

class CLibraryEntry {
public:
    explicit CLibraryEntry(LibraryHooks hooks);
    ~CLibraryEntry();
    CLibraryEntry(const CLibraryEntry&) = delete;
    CLibraryEntry& operator=(const CLibraryEntry&) = delete;
};
