// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

// Called by an operation on entry: true when the test interface has asked
// this call of `operation` to fail, with the code to fail with in *code.
bool InjectedFailure(const char* operation, DWORD* code);

// Called by a file write (CFile::Write) before it writes: on a thread that
// CreateThread started, waits while a test holds the write
// (kxtest::HoldNextFileWrite).
void WaitWhileFileWriteHeld();
