// SPDX-License-Identifier: MIT
// The global objects, in their construction order; destruction runs the other
// way. The entry object comes last so that the attach runs after all of them
// are built and the detach before any of them is destroyed.
#include "frame/Globals.h"
#include "frame/KeptObject.h"

CLibraryApp theApp;
static CKeptObject<CWaveRecorder> s_recorder;
CWaveRecorder& g_Recorder = s_recorder.Object();
static CKeptObject<CWavePlayer> s_player;
CWavePlayer& g_Player = s_player.Object();
CLogFile g_Log;

void DestroyRecorder() { s_recorder.Destroy(); }
void DestroyPlayer() { s_player.Destroy(); }

static CLibraryEntry s_libraryEntry(LibraryHooks{LibraryAttach, LibraryDetach, LibraryForkedChild});
