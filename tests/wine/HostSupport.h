// SPDX-License-Identifier: MIT
// What the host test program shares between its suites: the library loaded
// by name as a host loads it, its six functions found by name, the records
// it echoes, and the files of the audio server run.
#pragma once

#include "kaldrix.h"
#include "support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <string>

namespace kxhost {

extern const char kLibraryName[];

// The library, loaded for the life of the object.
class Library {
public:
    Library() : m_module(LoadLibraryA(kLibraryName)) {}
    ~Library() { Unload(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    HMODULE get() const { return m_module; }
    FARPROC Export(const char* name) const { return GetProcAddress(m_module, name); }
    FARPROC Export(WORD ordinal) const {
        return GetProcAddress(m_module, MAKEINTRESOURCEA(ordinal));
    }
    bool Unload() {
        const bool unloaded = m_module && FreeLibrary(m_module);
        m_module = nullptr;
        return unloaded;
    }

    // The six functions, each found by its name.
    int StartRecFile(const char* fileName) const;
    int StopRecFile() const;
    int RecordStatus() const;
    int StartPlayFile(const char* fileName) const;
    int StopPlayFile() const;
    int PlayStatus() const;

private:
    template <typename Function> Function Find(const char* name) const {
        // Through the generic function type, which converts to any other.
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(Export(name)));
    }

    HMODULE m_module;
};

// True once the library is no longer mapped, waiting up to `milliseconds`
// for library threads that are still on their way out.
bool LibraryGone(DWORD milliseconds);

// The library echoes only into the file that standard output was when it
// loaded: a test that reads the echo makes it a file of its own with this
// object before the load. Only the standard output handle changes; the
// runtime's descriptor 1, and with it the test's own output, stays.
class EchoCapture {
public:
    EchoCapture();
    // The standard output handle of before again.
    ~EchoCapture();
    EchoCapture(const EchoCapture&) = delete;
    EchoCapture& operator=(const EchoCapture&) = delete;

    // What the library echoed while `action` ran: each record's message
    // followed by a newline (CR LF in the file).
    template <typename Action> std::string Of(Action action) {
        const std::string before = Text();
        action();
        return Text().substr(before.size());
    }

private:
    std::string Text() const;

    kxtest::TempDir m_dir;
    HANDLE m_file;
    HANDLE m_previous;
};

// The echo of these messages, in order.
std::string Echo(std::initializer_list<std::string> messages);

// A file named by an environment variable that scripts/wine-run.sh --fed sets
// for the audio server run, as a Windows path; empty when not set.
std::string RigFile(const char* variable);

// Runs this program again with only the test `name` (a DISABLED_ one, run
// as a child), its output into the file `output` (discarded when empty), and
// returns its exit code, or STILL_ACTIVE when it ran longer than `limitMs`.
DWORD RunChildTest(const char* name, const std::string& output = "", DWORD limitMs = 60000);
// Starts that child, its output discarded, and returns its process handle
// (null when it cannot start) for the caller to end and close.
HANDLE StartChildTest(const char* name);
// The same with the child's standard output a pipe that nobody reads.
DWORD RunChildTestIntoUnreadPipe(const char* name);
// Runs the program `program` of this program's folder with `arguments`, its
// standard output a pipe that nobody reads, as RunChildTest does; `endedAt`
// gets the GetTickCount at which it was seen to end.
DWORD RunProgramIntoUnreadPipe(const char* program, const std::string& arguments, DWORD* endedAt);

// Where `part` starts inside `whole`, or npos.
size_t Find(const kxtest::Bytes& whole, const kxtest::Bytes& part, size_t from = 0);

} // namespace kxhost
