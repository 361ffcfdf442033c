// SPDX-License-Identifier: MIT
// The Windows calls the program makes: the system's on Windows; on Linux the
// library's emulation of them, linked from kaldrix_winapi as a Windows
// program links winmm, with the same names, types and values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#else
#include "winapi/WindowsApi.h"
#endif
