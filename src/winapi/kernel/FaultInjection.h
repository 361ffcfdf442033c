// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

// Called by an operation on entry: true when the test interface has asked
// this call of `operation` to fail, with the code to fail with in *code.
bool InjectedFailure(const char* operation, DWORD* code);
