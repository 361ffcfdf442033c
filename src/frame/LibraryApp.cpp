// SPDX-License-Identifier: MIT
#include "frame/LibraryApp.h"
#include "log/LogFile.h"

int CLibraryApp::InitInstance() {
    CWinApp::InitInstance();
    g_Log.Open();
    g_Log.Write("Log Started");
    return 1;
}

int CLibraryApp::ExitInstance() {
    g_Log.Write("Log Exited");
    g_Log.Close();
    return CWinApp::ExitInstance();
}
