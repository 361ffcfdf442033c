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

// Holds the family's export lock, if it has one, until it goes.
class CExportLock {
public:
    explicit CExportLock(CRITICAL_SECTION* lock) : m_lock(lock) {
        if (m_lock)
            EnterCriticalSection(m_lock);
    }
    ~CExportLock() {
        if (m_lock)
            LeaveCriticalSection(m_lock);
    }
    CExportLock(const CExportLock&) = delete;
    CExportLock& operator=(const CExportLock&) = delete;

private:
    CRITICAL_SECTION* const m_lock;
};

// The one entry of every exported function: the calling thread's
// cancellation held off until the call has returned, counted as a running
// call, answered at once from the detach on, the family's lock taken outside
// the guard (so that a fault inside the body cannot leave it taken) and the
// phase checked again once it is held, the body guarded. A forced unwind that
// still comes through the body (a pthread_exit inside it) gives back the
// lock and the count on its way out.
template <typename Body> int EnterExport(const ExportEntry& entry, Body body) {
    const CCancellationHold noCancellation;
    const CExportCall call;
    const LibraryPhase phase = CurrentPhase();
    if (phase == LibraryPhase::forkedChild && entry.deviceRefused)
        entry.deviceRefused();
    if (phase != LibraryPhase::inService)
        return entry.failure;
    const CExportLock lock(entry.exportLock ? &entry.exportLock() : nullptr);
    if (CurrentPhase() != LibraryPhase::inService)
        return entry.failure;
    const int result = RunExport(entry.exceptionText, entry.failure, body);
    if (result != 0 && entry.resultRecord)
        g_Log.Write(entry.resultRecord, result);
    return result;
}
