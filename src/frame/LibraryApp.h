// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

// The application object: opens the trace log when the library is attached
// and closes it when the library is detached.
class CLibraryApp : public CWinApp {
public:
    int InitInstance() override;
    int ExitInstance() override;
};

// The platform's attach, detach and fork notifications (see CLibraryEntry).
void LibraryAttach();
void LibraryDetach(bool processExit);
bool LibraryForkedChild();

// Where the six functions stand. After the detach they answer at once, write
// no record and touch no object; in a forked child the engines are idle and
// the devices, files and threads the parent's.
enum class LibraryPhase { inService, detached, forkedChild };
LibraryPhase CurrentPhase();

// For a stop that gave up on a library thread which may still run: keeps the
// library's code mapped for good, with one record the first time.
void KeepCodeForAbandonedThread();
constexpr char kLibraryKeptRecord[] =
    "\nA library thread did not end: the library stays loaded until the process ends";

// Counts the exported functions running, so that a fork can tell whether
// the parent was using the library. One on the stack of every export.
class CExportCall {
public:
    CExportCall();
    ~CExportCall();
    CExportCall(const CExportCall&) = delete;
    CExportCall& operator=(const CExportCall&) = delete;
};
