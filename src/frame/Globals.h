#pragma once

#include "frame/LibraryApp.h"
#include "log/LogFile.h"

// The library's single long-lived objects, defined in Globals.cpp in the order
// they are built.
extern CLibraryApp theApp;
extern CLogFile g_Log;
