// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

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

// Hands one record over; the newline after it is the echo's. The text is
// copied. Returns the ticket to wait for.
unsigned long long QueueEcho(EchoTarget target, const char* text);

// Waits until the record of `ticket` has been written or dropped, at most
// kEchoWaitMs, and not at all while the echo is stalled. `text` is the
// record again: where its caller writes it (a forked child, which starts no
// thread), it is written here, never under a lock of the library's.
void AwaitEcho(EchoTarget target, unsigned long long ticket, const char* text);
