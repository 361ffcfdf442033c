// SPDX-License-Identifier: MIT
// The playback family of exported functions. Starts and stops hold the
// player's export lock, so that host threads calling at once never run one
// into the other; the status only reads the state and takes no lock.
#include "playback/PlayExports.h"
#include "kaldrix.h"
#include "lifecycle/ExportEntry.h"
#include "log/LogText.h"
#include "playback/WavePlayer.h"

namespace {

CRITICAL_SECTION& PlayerLock() { return g_Player.ExportLock(); }

} // namespace

extern "C" {

// Every failed start answers -1, a caught exception included: a host must
// never be told that playback started when it did not.
KALDRIX_API int KALDRIX_CALL KxStartPlayFile(const char* fileName) {
    static constexpr ExportEntry entry{"\nException  KxStartPlayFile", -1, PlayerLock,
                                       [] { g_Log.Write(LogText::kPlayDeviceOpenError, 1); },
                                       nullptr};
    return EnterExport(entry, [fileName] {
        g_Player.SelectDevice("", 1);
        return g_Player.StartPlayFile(fileName) == 0 ? 1 : -1;
    });
}

KALDRIX_API int KALDRIX_CALL KxStopPlayFile(void) {
    static constexpr ExportEntry entry{"\nException  KxStopPlayFile", 0, PlayerLock, nullptr,
                                       "\nStopPlayFile Return %d"};
    return EnterExport(entry, [] { return g_Player.StopPlayFile(); });
}

KALDRIX_API int KALDRIX_CALL KxPlayStatus(void) {
    static constexpr ExportEntry entry{"\nException  KxPlayStatus", 0, nullptr, nullptr, nullptr};
    return EnterExport(entry, [] { return g_Player.WaitPlayEnd(0); });
}

} // extern "C"

// A play thread that will not stop is terminated, so that it never runs on
// once the player goes; a device whose close failed is closed now.
void StopPlaybackAtExit(bool processExit) {
    if (!processExit)
        g_Player.StopForGood();
}
