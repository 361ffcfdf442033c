// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// The echo of the log on the process's standard output or standard error.
// A record is handed to the echo and written by a thread of the platform's
// own, so that no caller ever writes to the target itself or waits on one
// that takes no data: the caller waits for its record at most kEchoWaitMs,
// and once a record could not be echoed within that time, callers do not
// wait at all until the echo has written again. While the target takes
// data, every record is out, in order, before its caller goes on. Records
// that cannot be written are dropped and counted; once the target takes
// data again, "KALDRIX: N log records not echoed" says how many.

constexpr unsigned kEchoWaitMs = 100;

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
// cut.
constexpr size_t kEchoRecordBytes = 600;

// Hands one record over; the newline after it is the echo's. The text is
// copied. Returns the ticket to wait for.
unsigned long long QueueEcho(EchoTarget target, const char* text);

// Waits until the record of `ticket` has been written or dropped, at most
// kEchoWaitMs, and not at all while the echo is stalled. `text` is the
// record again: in a forked child, which starts no thread, the caller
// writes it here (never under a lock of the library's).
void AwaitEcho(EchoTarget target, unsigned long long ticket, const char* text);
