// The global objects, in their construction order; destruction runs the other
// way. The entry object comes last so that the attach runs after all of them
// are built and the detach before any of them is destroyed.
#include "frame/Globals.h"

CLibraryApp theApp;
CWaveRecorder g_Recorder;
CWavePlayer g_Player;
CLogFile g_Log;

static CLibraryEntry s_libraryEntry(LibraryHooks{LibraryAttach, LibraryDetach});
