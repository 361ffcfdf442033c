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

// The one application object, defined in Globals.cpp.
extern CLibraryApp theApp;
