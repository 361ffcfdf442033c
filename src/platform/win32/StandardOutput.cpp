// SPDX-License-Identifier: MIT
// The echo's writes on standard output or standard error for Windows.
// Records go to the process's standard handle of their target with
// WriteFile, never through the runtime's streams: a write stuck on a pipe
// nobody reads then holds no lock of the runtime's, and the runtime's flush
// at exit never waits for it. Each "\n" goes out as CR LF, as the runtime's
// text mode writes it. A record goes only to the file its standard handle
// was at load: a handle the host closed since, whose value a file of the
// library's (a recording) may then hold, or one it set to another file, gets
// nothing, and the record counts as not echoed. Each record is written
// through a duplicate of the handle made for it, so that the file checked is
// the file written.
//
// A write to a console or a pipe cannot be bounded without changing the
// host's handle, so the echo thread may block in it for as long as the
// reader wants; it holds a reference on the library while it runs and leaves
// through FreeLibraryAndExitThread, so a FreeLibrary never unmaps code under
// it. It ends whenever the queue is empty. Inside DllMain no thread can start
// and nothing may wait: records written there go out directly from their
// callers, from the process-exit detach on too.
#include "platform/platform.h"
#include "platform/win32/StandardOutput.h"

#include <algorithm>
#include <atomic>

namespace {

// Set while the loader runs the attach, and from the detach on.
std::atomic<bool> g_insideLoader{false};
// What the echo thread runs; set before each start, always to the same.
void (*g_run)() = nullptr;

// What a handle is: its type, whether it is a console, and for a file the
// volume and index that name it. Two handles of one file are equal.
struct FileIdentity {
    bool open = false;
    DWORD type = FILE_TYPE_UNKNOWN;
    bool console = false;
    bool indexed = false;
    DWORD volume = 0, indexHigh = 0, indexLow = 0;

    bool operator==(const FileIdentity& other) const {
        return open == other.open && type == other.type && console == other.console &&
               indexed == other.indexed && volume == other.volume && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};

// The standard output's and standard error's files at load.
FileIdentity g_loaded[2];

FileIdentity& Loaded(DWORD standardHandle) {
    return g_loaded[standardHandle == STD_ERROR_HANDLE ? 1 : 0];
}

FileIdentity IdentityOf(HANDLE handle) {
    FileIdentity identity;
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return identity;
    SetLastError(NO_ERROR);
    identity.type = GetFileType(handle);
    if (identity.type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return identity; // not a handle of this process
    identity.open = true;
    DWORD mode = 0;
    identity.console = GetConsoleMode(handle, &mode) != FALSE;
    BY_HANDLE_FILE_INFORMATION information;
    identity.indexed = GetFileInformationByHandle(handle, &information) != FALSE;
    if (identity.indexed) {
        identity.volume = information.dwVolumeSerialNumber;
        identity.indexHigh = information.nFileIndexHigh;
        identity.indexLow = information.nFileIndexLow;
    }
    return identity;
}

// Appends `text` to `out` with each "\n" as CR LF; returns the new end.
char* AppendWithCrLf(char* out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n')
            *out++ = '\r';
        *out++ = text[i];
    }
    return out;
}

DWORD WINAPI RunEchoThread(LPVOID module) {
    NameCurrentThread("kx-echo");
    g_run();
    return ExitLibraryThread(module, 0);
}

} // namespace

bool WriteToEchoTarget(EchoTarget target, const char* text, size_t size) {
    char out[2 * kEchoWriteBytes];
    const char* const end = AppendWithCrLf(out, text, std::min(size, kEchoWriteBytes));
    const DWORD standardHandle =
        target == EchoTarget::standardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
    const HANDLE handle = GetStdHandle(standardHandle);
    HANDLE copy = nullptr;
    if (!handle || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    const char* next = out;
    if (IdentityOf(copy) == Loaded(standardHandle)) {
        DWORD written = 1;
        while (next < end && written > 0 &&
               WriteFile(copy, next, static_cast<DWORD>(end - next), &written, nullptr))
            next += written;
    }
    CloseHandle(copy);
    return next == end;
}

EchoWriter EchoWriterNow() {
    return g_insideLoader.load() ? EchoWriter::callerInsideLoader : EchoWriter::echoThread;
}

EchoThreadRules EchoThreadRulesOfPlatform() {
    return {/*waitsForRecords=*/false, /*failedWriteStalls=*/false, /*startWaitMs=*/2000};
}

// No unload waits for the thread: it holds the library until it ends.
bool StartEchoThread(void (*run)(), bool (*)()) {
    g_run = run;
    void* const module = AcquireModuleReference();
    const HANDLE thread = CreateThread(nullptr, 0, RunEchoThread, module, 0, nullptr);
    if (!thread) {
        ReleaseModuleReference(module);
        return false;
    }
    CloseHandle(thread);
    return true;
}

void RememberEchoTargets() {
    for (DWORD standardHandle : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        Loaded(standardHandle) = IdentityOf(GetStdHandle(standardHandle));
}

void SetEchoInsideLoader(bool inside) { g_insideLoader.store(inside); }
