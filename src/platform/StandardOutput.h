// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// What the log's echo (its queue is log/EchoQueue) takes from the platform:
// the write of a record to the process's standard output or standard error,
// the echo thread's start and end, and who writes a record now.

// Where the echo goes: the process's standard output or standard error.
enum class EchoTarget { standardOutput, standardError };

// Remembers which file standard output and standard error are now, as the
// library loads. The echo writes to its target only while it is still that
// file: one that was closed then, or that has since become another file (one
// the host opened, or a system library's), gets nothing, and such a record
// counts as not echoed. A host that closed a standard stream then never
// finds the log's echo in a file that took its number.
void RememberEchoTargets();

// The longest record the echo holds, its newline included; a longer one is
// cut. One write holds a record and, before it, the notice of the records
// not echoed.
constexpr size_t kEchoRecordBytes = 600;
constexpr size_t kEchoWriteBytes = kEchoRecordBytes + 80;

// Writes `text` (whole lines, at most kEchoWriteBytes) to `target` while it
// is the file it was at load, each "\n" as the platform's text files end a
// line; false when not all of it was written. On POSIX it never blocks more
// than 100 ms and SIGPIPE never reaches the host; on Windows a console or a
// pipe may hold it for as long as its reader wants.
bool WriteToEchoTarget(EchoTarget target, const char* text, size_t size);

// Who writes a record now.
enum class EchoWriter {
    // The echo thread: the record is queued.
    echoThread,
    // Its caller, once it has let go of the log's lock and without the
    // echo's: a forked child has none of the parent's threads, which may
    // have held any lock, and starts none.
    caller,
    // Its caller at once, inside the loader (the attach, the detach and all
    // that follows a process-exit detach): no thread starts there, none may
    // be waited for, and the echo's lock is only tried, as a thread killed at
    // the process's exit may hold it.
    callerInsideLoader,
};
EchoWriter EchoWriterNow();

// How the platform's echo thread lives.
struct EchoThreadRules {
    // True: it waits for records until the library stops it (POSIX, where
    // the unload joins it). False: it ends whenever the queue is empty
    // (Windows, where it holds the library meanwhile).
    bool waitsForRecords;
    // True: a record the thread could not write stalls the callers (POSIX,
    // where a write gives up after 100 ms). False: only a caller that waited
    // in vain does, and any write that returns ends the stall (Windows).
    bool failedWriteStalls;
    // How long a caller waits for a new echo thread to begin to run, before
    // it waits kEchoWaitMs for its record: a new thread can take a while on
    // a busy machine, and that is no wait on standard output.
    unsigned startWaitMs;
};
EchoThreadRules EchoThreadRulesOfPlatform();

// Starts the echo thread, named "kx-echo", on `run`. `stop` is called at the
// library's unload where the thread waits for records: it tells `run` to
// return and is true when a thread is there to wait for. False when no
// thread starts.
bool StartEchoThread(void (*run)(), bool (*stop)());
