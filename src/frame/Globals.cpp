// SPDX-License-Identifier: MIT
// The global objects, in their construction order; destruction runs the other
// way. Each engine registers with the lifecycle, and the lifecycle's entry
// object comes last, so that the attach runs after all of them are built and
// the detach before any of them is destroyed.
#include "frame/LibraryApp.h"
#include "lifecycle/KeptObject.h"
#include "lifecycle/Lifecycle.h"
#include "log/LogFile.h"
#include "playback/PlayExports.h"
#include "playback/WavePlayer.h"
#include "recording/RecordExports.h"
#include "recording/WaveRecorder.h"

CLibraryApp theApp;
static CKeptObject<CWaveRecorder> s_recorder;
CWaveRecorder& g_Recorder = s_recorder.Object();
static CKeptObject<CWavePlayer> s_player;
CWavePlayer& g_Player = s_player.Object();
CLogFile g_Log;

// The detach stops them in this order: the playback first, so that no play
// thread runs on once the globals go, then the recording.
static const CEngineRegistration s_playerRegistration(EngineRegistration{
    []() -> CRITICAL_SECTION& { return g_Player.ExportLock(); },
    [] { return g_Player.IsPlaying(); }, StopPlaybackAtExit, [] { s_player.Destroy(); }});
static const CEngineRegistration s_recorderRegistration(EngineRegistration{
    []() -> CRITICAL_SECTION& { return g_Recorder.ExportLock(); },
    [] { return g_Recorder.IsRecording() != 0; }, StopRecordingAtExit,
    [] { s_recorder.Destroy(); }});

static CLibraryLifecycle s_lifecycle(theApp);
