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

// The playback is stopped first, so that no play thread runs on once the
// globals go, and a recording device whose close failed earlier is closed
// now, so that no device thread writes into the library's buffers after the
// unload. At process exit the other threads are gone already and nothing may
// wait on them.
void LibraryDetach(bool processExit) {
    if (processExit)
        g_Log.SetProcessExiting();
    else
        g_Player.StopBeforeUnload();
    CompleteRecordingAtDetach(processExit);
    if (!processExit) {
        g_Recorder.CloseUnclosedDevices();
        g_Player.CloseUnclosedDevices();
    }
    theApp.ExitInstance();
}
