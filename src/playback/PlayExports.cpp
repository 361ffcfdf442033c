// SPDX-License-Identifier: MIT
// The playback family of exported functions, each inside the export guard.
// Starts and stops are serialised so that host threads calling at once never
// run one into the other; the status only reads the state and takes no lock.
#include "frame/ExportGuard.h"
#include "frame/ExportLock.h"
#include "frame/Globals.h"
#include "kaldrix.h"
#include "log/LogText.h"

extern "C" {

// In a forked child the devices are the parent's: a start answers as when
// the output device cannot be opened, and the player stays idle.
KALDRIX_API int KALDRIX_CALL KxStartPlayFile(const char* fileName) {
    const CExportCall call;
    if (CurrentPhase() == LibraryPhase::forkedChild) {
        g_Log.Write(LogText::kPlayDeviceOpenError, 1);
        return -1;
    }
    if (CurrentPhase() != LibraryPhase::inService)
        return -1;
    CExportLock lock(g_Player.ExportLock());
    if (CurrentPhase() != LibraryPhase::inService)
        return -1;
    // Every failed start answers -1, a caught exception included: a host must
    // never be told that playback started when it did not.
    const int result = RunExport("\nException  KxStartPlayFile", -1, [fileName] {
        g_Player.SelectDevice("", 1);
        return g_Player.StartPlayFile(fileName) == 0 ? 1 : -1;
    });
    return result;
}

KALDRIX_API int KALDRIX_CALL KxStopPlayFile(void) {
    const CExportCall call;
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    CExportLock lock(g_Player.ExportLock());
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    const int result =
        RunExport("\nException  KxStopPlayFile", 0, [] { return g_Player.StopPlayFile(); });
    if (result != 0)
        g_Log.Write("\nStopPlayFile Return %d", result);
    return result;
}

KALDRIX_API int KALDRIX_CALL KxPlayStatus(void) {
    const CExportCall call;
    if (CurrentPhase() != LibraryPhase::inService)
        return 0;
    return RunExport("\nException  KxPlayStatus", 0, [] { return g_Player.WaitPlayEnd(0); });
}

} // extern "C"
