#include "frame/LibraryApp.h"
#include "frame/Globals.h"
#include "recording/RecordExports.h"

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

void LibraryAttach() { theApp.InitInstance(); }

void LibraryDetach(bool processExit) {
    if (processExit)
        g_Log.SetProcessExiting();
    CompleteRecordingAtDetach(processExit);
    theApp.ExitInstance();
}
