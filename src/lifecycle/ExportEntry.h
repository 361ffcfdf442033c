// SPDX-License-Identifier: MIT
#pragma once

#include "lifecycle/ExportGuard.h"
#include "lifecycle/Lifecycle.h"

// How one exported function enters the library.
struct ExportEntry {
    // Written when the body ends in an exception or a fault.
    const char* exceptionText;
    // The answer after such an ending, after the unload, and wherever the
    // library may not touch its engines.
    int failure;
    // The family's export lock, held across the body: starts and stops of
    // one engine never run into each other. None for a status.
    CRITICAL_SECTION& (*exportLock)();
    // A start in a forked child of a busy parent answers as when its device
    // cannot be opened, with that record; none for the other functions.
    void (*deviceRefused)();
    // Written with the result after the body, when the result is not 0.
    const char* resultRecord;
};

// The one entry of every exported function: counted as a running call,
// answered at once from the detach on, the family's lock taken outside the
// guard (so that a fault inside the body cannot leave it taken) and the
// phase checked again once it is held, the body guarded.
template <typename Body> int EnterExport(const ExportEntry& entry, Body body) {
    const CExportCall call;
    const LibraryPhase phase = CurrentPhase();
    if (phase == LibraryPhase::forkedChild && entry.deviceRefused)
        entry.deviceRefused();
    if (phase != LibraryPhase::inService)
        return entry.failure;
    CRITICAL_SECTION* const lock = entry.exportLock ? &entry.exportLock() : nullptr;
    if (lock) {
        EnterCriticalSection(lock);
        if (CurrentPhase() != LibraryPhase::inService) {
            LeaveCriticalSection(lock);
            return entry.failure;
        }
    }
    const int result = RunExport(entry.exceptionText, entry.failure, body);
    if (result != 0 && entry.resultRecord)
        g_Log.Write(entry.resultRecord, result);
    if (lock)
        LeaveCriticalSection(lock);
    return result;
}
