// SPDX-License-Identifier: MIT
#pragma once

// Runs body(context) so that neither a C++ exception nor a processor fault
// raised inside it (invalid memory access, division by zero) leaves it.
// Returns true when the body returned normally, false when it threw or
// faulted. After a fault the body's destructors have not run. A forced
// unwind (a POSIX thread's exit or cancellation) is no exception of the
// body's: it passes through.
bool CallGuarded(void (*body)(void*), void* context);
