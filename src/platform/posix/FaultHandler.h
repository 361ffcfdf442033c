// SPDX-License-Identifier: MIT
// The POSIX fault handler's lifetime, which follows the library's.
#pragma once

// Takes the fault handler out of the process's signal table and keeps it
// out; called when the library is detached, after its last guarded call.
void RemoveFaultHandler();

// In a forked child: the lock that guards the installation starts unheld.
void ResetFaultHandlerLockInForkedChild();
