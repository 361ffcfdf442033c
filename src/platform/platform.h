// SPDX-License-Identifier: MIT
// The one header the core includes. On Windows it brings in the system headers
// (and is the only place that does, with the macros they need); on POSIX it
// brings in our own declarations of the same names, types and values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#else
#include "posix/WindowsApi.h"
#endif

#include "CancellationHold.h"
#include "FaultGuard.h"
#include "HeaderFlags.h"
#include "File.h"
#include "LibraryEntry.h"
#include "LogLocation.h"
#include "ModuleReference.h"
#include "PlaybackRate.h"
#include "PlausibleFormat.h"
#include "StandardOutput.h"
#include "ThreadName.h"
#include "WinApp.h"
