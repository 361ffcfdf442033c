// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"
#include "wave/RecordingHeader.h"

#include <atomic>

// The WAVE file of one recording: the header of its format declaring no sound
// written at the start, whole buffers appended by the capture thread, and the two
// sizes patched at the end. While a regular file grows, its sizes are brought
// up to date with the first append and every kAppendsPerSizeUpdate appends
// after it, so that a host killed meanwhile leaves a valid file that lacks at
// most the appends since the last update.
// Each recording has an object of its own, so that a capture thread that had
// to be terminated can never write into, or count towards, the next
// recording's file.
class CRecordingFile {
public:
    // About a second of the recorder's 60 ms buffers.
    static constexpr DWORD kAppendsPerSizeUpdate = 16;

    explicit CRecordingFile(const RecordingHeader::Format& format) : m_header(format) {}
    CRecordingFile(const CRecordingFile&) = delete;
    CRecordingFile& operator=(const CRecordingFile&) = delete;

    // Creates or truncates the file and writes the header declaring no sound.
    // Throws CFileException*.
    void Create(const char* fileName);
    // The capture thread's append of one whole buffer. False once nothing
    // more is appended: after a failed write (an append or an update of the
    // sizes), or where the size fields would overflow (each written once as a
    // record).
    bool Append(const char* data, DWORD size);
    // Patches the sizes and closes the file. Throws CFileException* when the
    // file cannot be completed, or when its header is not whole or does not
    // match its length; the file then stays open.
    void Complete();
    // For a process exit, with the capture thread gone: the sizes come from
    // the file's length (whole buffers of bufferSize bytes only). False when
    // the file could not be completed.
    bool CompleteFromLength(DWORD bufferSize);
    // The header is whole and the file still open: the recording's sizes
    // have not been completed yet.
    bool AwaitsCompletion() const { return m_headerWhole && m_file.IsOpen(); }
    // Closes the file silently if it is still open.
    void CloseQuietly();

    DWORD BytesRecorded() const { return m_bytesRecorded.load(); }
    // The file holds less than was captured: a write of captured data
    // failed, or the capture ended before the stop.
    bool WriteFailed() const { return m_writeFailed.load(); }
    // The capture thread ended before the stop (a fault inside it): what it
    // would have appended since is lost, as after a failed write.
    void CaptureLost() { m_writeFailed.store(true); }
    // Test hook: counting goes on from `bytes`, as if they had been written.
    void SetBytesRecorded(DWORD bytes);

private:
    void PatchSizes(DWORD dataBytes);
    void StopAppendingAfterFailedWrite();
    [[noreturn]] static void ThrowIncomplete();

    const RecordingHeader::Header m_header;
    CFile m_file;
    std::atomic<DWORD> m_bytesRecorded{0};
    // Bytes the count holds that were never written (only the test hook
    // sets any); the file's length is checked against the rest.
    std::atomic<DWORD> m_bytesPreset{0};
    std::atomic<bool> m_writeFailed{false};
    bool m_headerWhole = false;
    // A FIFO or a device has no header to update.
    bool m_sizesUpdatable = false;
    // The capture thread's own:
    bool m_appendStopped = false;
    // Due at once: the first append brings the sizes up to date.
    DWORD m_appendsSinceSizeUpdate = kAppendsPerSizeUpdate - 1;
};
