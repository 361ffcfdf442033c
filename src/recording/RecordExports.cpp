// SPDX-License-Identifier: MIT
// The recording family of exported functions. Starts and stops hold the
// recorder's export lock, so two host threads cannot both pass the
// recording check; the status takes none.
#include "recording/RecordExports.h"
#include "kaldrix.h"
#include "lifecycle/ExportEntry.h"
#include "log/LogText.h"
#include "recording/WaveRecorder.h"

namespace {

CRITICAL_SECTION& RecorderLock() { return g_Recorder.ExportLock(); }

constexpr char kStopResultRecord[] = "\nStopRecordFile Return %d";
constexpr ExportEntry kStopEntry{"\nException  KxStopRecordFile", 0, RecorderLock, nullptr,
                                 kStopResultRecord};

int Stop() { return g_Recorder.IsRecording() ? g_Recorder.StopRecordFile() : 0; }

void WriteDeviceOpenError() { g_Log.Write(LogText::kRecDeviceOpenError); }

// Both starts. A format the recorder does not take is answered as a device
// that refuses it, before anything else is touched: no file is created or
// truncated, and the recorder stays idle.
int StartRecording(const ExportEntry& entry, const char* fileName, int samplesPerSec, int channels,
                   int bitsPerSample) {
    return EnterExport(entry, [=] {
        if (!RecordingHeader::IsRecordable(samplesPerSec, channels, bitsPerSample)) {
            WriteDeviceOpenError();
            return 0;
        }
        const RecordingHeader::Format format{static_cast<uint32_t>(samplesPerSec),
                                             static_cast<uint16_t>(channels),
                                             static_cast<uint16_t>(bitsPerSample)};
        return g_Recorder.IsRecording() ? 0 : g_Recorder.StartRecordFile(fileName, format);
    });
}

} // namespace

extern "C" int KALDRIX_CALL KxStartRecFile(const char* fileName) {
    static constexpr ExportEntry entry{"\nException  KxStartRecFile", 0, RecorderLock,
                                       WriteDeviceOpenError, nullptr};
    const RecordingHeader::Format& format = RecordingHeader::kDefaultFormat;
    return StartRecording(entry, fileName, static_cast<int>(format.samplesPerSec), format.channels,
                          format.bitsPerSample);
}

extern "C" int KALDRIX_CALL KxStartRecFileFormat(const char* fileName, int samplesPerSec,
                                                 int channels, int bitsPerSample) {
    static constexpr ExportEntry entry{"\nException  KxStartRecFileFormat", 0, RecorderLock,
                                       WriteDeviceOpenError, nullptr};
    return StartRecording(entry, fileName, samplesPerSec, channels, bitsPerSample);
}

extern "C" int KALDRIX_CALL KxStopRecFile() { return EnterExport(kStopEntry, Stop); }

extern "C" int KALDRIX_CALL KxRecordStatus() {
    static constexpr ExportEntry entry{"\nException  KxRecordStatus", 0, nullptr, nullptr, nullptr};
    return EnterExport(entry, [] { return g_Recorder.IsRecording() ? 1 : 0; });
}

// A recording still running is completed rather than lost: as KxStopRecFile
// would (its lock held by the detach), or at process exit, with the other
// threads gone, from the file's length without waiting on anything.
void StopRecordingAtExit(bool processExit) {
    int result = 0;
    if (processExit) {
        result = g_Recorder.CompleteAtProcessExit();
    } else {
        g_Recorder.WaitForCaptureThreadToEnd();
        result = RunExport(kStopEntry.exceptionText, kStopEntry.failure, Stop);
    }
    if (result != 0)
        g_Log.Write(kStopResultRecord, result);
    if (!processExit)
        g_Recorder.CloseKeptDevices();
}
