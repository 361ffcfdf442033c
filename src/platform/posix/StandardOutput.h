// SPDX-License-Identifier: MIT
// The POSIX echo's lifetime, which follows the library's.
#pragma once

// Writes what is still queued (for a short while at most), ends the echo
// thread and joins it; later records are dropped. Called when the library
// is detached, after its last record.
void StopStandardOutputEcho();

// In a forked child the parent's echo thread is not there: from now on each
// caller writes its own records.
void EchoFromCallersInForkedChild();
