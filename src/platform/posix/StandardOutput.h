// The POSIX echo's lifetime, which follows the library's.
#pragma once

// Writes what is still queued (for a short while at most), ends the echo
// thread and joins it; later records are dropped. Called when the library
// is detached, after its last record.
void StopStandardOutputEcho();
