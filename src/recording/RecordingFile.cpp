// SPDX-License-Identifier: MIT
#include "recording/RecordingFile.h"
#include "log/LogFile.h"
#include "log/LogText.h"
#include "wave/RecordingHeader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {

constexpr uint64_t kSizeFieldMax = 0xFFFFFFFFu;

} // namespace

void CRecordingFile::Create(const char* fileName) {
    m_file.Open(fileName, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone);
    m_file.Write(m_header.Start(), static_cast<unsigned>(m_header.Size()));
    m_headerWhole = true;
    m_sizesUpdatable = m_file.IsRegularFile();
}

// Once a write has failed, or the size fields would overflow, nothing more is
// appended, so the file always ends on a whole buffer that the count includes.
bool CRecordingFile::Append(const char* data, DWORD size) {
    if (m_appendStopped)
        return false;
    if (m_header.RiffSizeBase() + uint64_t{m_bytesRecorded.load()} + size > kSizeFieldMax) {
        m_appendStopped = true;
        g_Log.Write(LogText::kRecordFileTooLarge);
        return false;
    }
    try {
        m_file.Write(data, size);
    } catch (CFileException* e) {
        e->Delete();
        StopAppendingAfterFailedWrite();
        return false;
    }
    const DWORD recorded = m_bytesRecorded.fetch_add(size) + size;
    if (!m_sizesUpdatable || ++m_appendsSinceSizeUpdate < kAppendsPerSizeUpdate)
        return true;
    m_appendsSinceSizeUpdate = 0;
    // Two positional writes: the appends go on at the end of the file.
    try {
        for (const RecordingHeader::SizeField& field : m_header.SizeFields(recorded))
            m_file.WriteAt(field.at, field.bytes, sizeof field.bytes);
    } catch (CFileException* e) {
        e->Delete();
        StopAppendingAfterFailedWrite();
        return false;
    }
    return true;
}

// The file then holds less than was captured, and the stop says so.
void CRecordingFile::StopAppendingAfterFailedWrite() {
    m_appendStopped = true;
    m_writeFailed.store(true);
    g_Log.Write(LogText::kRecordFileWriteError);
}

// A failed write may have left part of a buffer behind the counted data: the
// file is cut back to the header and the whole buffers first. A header that
// was never written whole, or a file that lost bytes it counted, cannot be
// completed.
void CRecordingFile::Complete() {
    const DWORD dataBytes = m_bytesRecorded.load();
    const uint64_t expected = m_header.Size() + uint64_t{dataBytes} - m_bytesPreset.load();
    if (!m_headerWhole)
        ThrowIncomplete();
    if (m_file.GetLength() > expected)
        m_file.SetLength(expected);
    PatchSizes(dataBytes);
    if (m_file.GetLength() != expected)
        ThrowIncomplete();
    m_file.Close();
}

bool CRecordingFile::CompleteFromLength(DWORD bufferSize) {
    if (!m_headerWhole)
        return false;
    try {
        const uint64_t length = m_file.GetLength();
        const uint64_t written = length > m_header.Size() ? length - m_header.Size() : 0;
        const uint64_t dataBytes =
            std::min<uint64_t>(written, kSizeFieldMax - m_header.RiffSizeBase()) / bufferSize *
            bufferSize;
        m_file.SetLength(m_header.Size() + dataBytes);
        PatchSizes(static_cast<DWORD>(dataBytes));
        m_file.Close();
    } catch (CFileException* e) {
        e->Delete();
        return false;
    }
    return true;
}

void CRecordingFile::SetBytesRecorded(DWORD bytes) {
    m_bytesPreset.store(bytes - (m_bytesRecorded.load() - m_bytesPreset.load()));
    m_bytesRecorded.store(bytes);
}

void CRecordingFile::CloseQuietly() {
    try {
        m_file.Close();
    } catch (CFileException* e) {
        e->Delete();
    }
}

void CRecordingFile::PatchSizes(DWORD dataBytes) {
    for (const RecordingHeader::SizeField& field : m_header.SizeFields(dataBytes)) {
        m_file.Seek(static_cast<int64_t>(field.at), CFile::begin);
        m_file.Write(field.bytes, sizeof field.bytes);
    }
}

void CRecordingFile::ThrowIncomplete() {
    throw new CFileException(CFileException::invalidFile, EINVAL);
}
