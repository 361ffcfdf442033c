// The recording exports, each inside the export guard.
#include "frame/ExportGuard.h"
#include "frame/ExportLock.h"
#include "frame/Globals.h"
#include "kaldrix.h"
#include "recording/RecordExports.h"

namespace {

void WriteStopResult(int result) {
    if (result != 0)
        g_Log.Write("\nStopRecordFile Return %d", result);
}

} // namespace

extern "C" int KALDRIX_CALL KxStartRecFile(const char* fileName) {
    CExportLock lock(g_Recorder.ExportLock());
    return RunExport("\nException  KxStartRecFile", 0, [fileName] {
        return g_Recorder.IsRecording() ? 0 : g_Recorder.StartRecordFile(fileName);
    });
}

extern "C" int KALDRIX_CALL KxStopRecFile() {
    CExportLock lock(g_Recorder.ExportLock());
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
