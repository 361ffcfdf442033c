// The recording exports, each inside the export guard.
#include "frame/ExportGuard.h"
#include "frame/Globals.h"
#include "kaldrix.h"
#include "recording/RecordExports.h"

namespace {

// Held outside the guard, so that a fault inside the body cannot leave it
// taken.
class ExportsLock {
public:
    ExportsLock() { g_Recorder.LockExports(); }
    ~ExportsLock() { g_Recorder.UnlockExports(); }
    ExportsLock(const ExportsLock&) = delete;
    ExportsLock& operator=(const ExportsLock&) = delete;
};

void WriteStopResult(int result) {
    if (result != 0)
        g_Log.Write("\nStopRecordFile Return %d", result);
}

} // namespace

extern "C" int KALDRIX_CALL KxStartRecFile(const char* fileName) {
    ExportsLock lock;
    return RunExport("\nException  KxStartRecFile", 0, [fileName] {
        return g_Recorder.IsRecording() ? 0 : g_Recorder.StartRecordFile(fileName);
    });
}

extern "C" int KALDRIX_CALL KxStopRecFile() {
    ExportsLock lock;
    const int result = RunExport("\nException  KxStopRecordFile", 0, [] {
        return g_Recorder.IsRecording() ? g_Recorder.StopRecordFile() : 0;
    });
    WriteStopResult(result);
    return result;
}

extern "C" int KALDRIX_CALL KxRecordStatus() {
    return RunExport("\nException  KxRecordStatus", 0,
                     [] { return g_Recorder.IsRecording() ? 1 : 0; });
}

void CompleteRecordingAtDetach(bool processExit) {
    if (processExit)
        WriteStopResult(g_Recorder.CompleteAtProcessExit());
    else
        KxStopRecFile();
}
