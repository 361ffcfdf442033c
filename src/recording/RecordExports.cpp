// SPDX-License-Identifier: MIT
// The recording exports, each inside the export guard.
#include "frame/ExportGuard.h"
#include "frame/ExportLock.h"
#include "frame/Globals.h"
#include "kaldrix.h"
#include "log/LogText.h"
#include "recording/RecordExports.h"

namespace {

void WriteStopResult(int result) {
    if (result != 0)
        g_Log.Write("\nStopRecordFile Return %d", result);
}

// The stop's body, for a caller that holds the recorder's export lock.
int StopRecording() {
    const int result = RunExport("\nException  KxStopRecordFile", 0, [] {
        return g_Recorder.IsRecording() ? g_Recorder.StopRecordFile() : 0;
    });
    WriteStopResult(result);
    return result;
}

} // namespace

// In a forked child the devices are the parent's: a start answers as when
// the input device cannot be opened, and the recorder stays idle.
extern "C" int KALDRIX_CALL KxStartRecFile(const char* fileName) {
    const CExportCall call;
    if (CurrentPhase() == LibraryPhase::forkedChild) {
        g_Log.Write(LogText::kRecDeviceOpenError);
        return 0;
    }
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    CExportLock lock(g_Recorder.ExportLock());
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    return RunExport("\nException  KxStartRecFile", 0, [fileName] {
        return g_Recorder.IsRecording() ? 0 : g_Recorder.StartRecordFile(fileName);
    });
}

extern "C" int KALDRIX_CALL KxStopRecFile() {
    const CExportCall call;
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    CExportLock lock(g_Recorder.ExportLock());
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    return StopRecording();
}

extern "C" int KALDRIX_CALL KxRecordStatus() {
    const CExportCall call;
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    return RunExport("\nException  KxRecordStatus", 0,
                     [] { return g_Recorder.IsRecording() ? 1 : 0; });
}

void CompleteRecordingAtDetach(bool processExit) {
    if (processExit)
        WriteStopResult(g_Recorder.CompleteAtProcessExit());
    else
        StopRecording();
}
