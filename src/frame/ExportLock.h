// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

// Holds one family's export lock (the recorder's or the player's) for the
// life of the object. The starts and stops take it outside the export guard,
// so that a fault inside the body cannot leave it taken.
class CExportLock {
public:
    explicit CExportLock(CRITICAL_SECTION& lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
    ~CExportLock() { LeaveCriticalSection(&m_lock); }
    CExportLock(const CExportLock&) = delete;
    CExportLock& operator=(const CExportLock&) = delete;

private:
    CRITICAL_SECTION& m_lock;
};
