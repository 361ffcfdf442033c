// SPDX-License-Identifier: MIT
#include "playback/WaveForm.h"
#include "platform/MmioLimits.h"
#include "wave/RiffChunks.h"

#include <algorithm>
#include <cstring>

namespace {

// The "fmt " fields up to wBitsPerSample; cbSize and the extra bytes follow.
constexpr LONG kBaseFormatSize = 16;
constexpr LONG kFormatRecordSize = sizeof(WAVEFORMATEX);

// Finds the first chunk `id` (with form type `type` for RIFF and LIST
// chunks, 0 for any) in `range`, whose first header is where the file's
// position stands. True with `chunk` filled as mmioDescend fills it and the
// file positioned at its data (past the form type of a RIFF or LIST chunk).
// Descending without a search flag reads the one header at the file's
// position; the ascend to the next header comes only once that header lies
// inside the range, so winmm's own 32-bit sum cannot wrap.
bool FindMmioChunk(HMMIO file, FOURCC id, FOURCC type, ChunkRange range, MMCKINFO* chunk) {
    MMCKINFO current{};
    bool descended = false;
    const auto read = [&](int64_t position, RiffChunkHeader* header) {
        if (descended && mmioAscend(file, &current, 0) != MMSYSERR_NOERROR)
            return false;
        descended = mmioDescend(file, &current, nullptr, 0) == MMSYSERR_NOERROR;
        if (!descended || int64_t(current.dwDataOffset) != position + kChunkHeaderSize)
            return false;
        *header = {current.ckid, current.cksize, current.fccType};
        return true;
    };
    const auto wanted = [id, type](const RiffChunkHeader& header, int64_t) {
        return header.id == id && (type == 0 || header.formType == type);
    };
    if (FindChunk(range, read, wanted).outcome != ChunkSearch::found)
        return false;
    *chunk = current;
    return true;
}

} // namespace

CWaveForm::CWaveForm(const char* fileName) {
    std::memset(m_blocks, 0x80, sizeof m_blocks);
    std::memset(m_fileName, 0, sizeof m_fileName);
    // A name that does not fit is refused, not cut: a cut name could open a
    // different file. OpenWaveForm then fails without opening anything.
    if (fileName && std::strlen(fileName) < kNameSize)
        std::strcpy(m_fileName, fileName);
}

// A file whose close fails again is closed all the same: nothing is left to
// close it once the object is gone.
CWaveForm::~CWaveForm() {
    if (m_open && CloseWaveForm() != MMSYSERR_NOERROR && m_file)
        mmioClose(m_file, 0);
}

int CWaveForm::OpenWaveForm(WAVEFORMATEX& format) {
    m_open = 0;
    if (m_fileName[0] == '\0')
        return 1;
    m_file = mmioOpenA(m_fileName, nullptr, MMIO_ALLOCBUF | MMIO_READ);
    if (!m_file)
        return 1;
    bool found = false;
    try {
        found = FindFormatAndData(format);
    } catch (...) {
        CloseFailedOpen(); // an allocation failed: the file must not stay open unflagged
        throw;
    }
    if (!found) {
        CloseFailedOpen();
        return 1;
    }
    m_open = 1;
    return 0;
}

void CWaveForm::CloseFailedOpen() {
    mmioClose(m_file, 0);
    m_file = nullptr;
}

bool CWaveForm::FindFormatAndData(WAVEFORMATEX& format) {
    // Every search stays inside the file and, below the RIFF chunk, inside
    // that chunk: a streamed file declares 0xFFFFFFFF and is searched to its
    // end.
    const int64_t fileEnd = MmioFileEnd(m_file);
    if (!FindMmioChunk(m_file, FOURCC_RIFF, mmioFOURCC('W', 'A', 'V', 'E'), {0, fileEnd},
                       &m_riffChunk))
        return false;
    const int64_t riffEnd =
        std::min<int64_t>(int64_t(m_riffChunk.dwDataOffset) + m_riffChunk.cksize, fileEnd);
    if (!FindMmioChunk(m_file, mmioFOURCC('f', 'm', 't', ' '), 0,
                       {int64_t(m_riffChunk.dwDataOffset) + 4, riffEnd}, &m_formatChunk) ||
        !ReadFormat(format))
        return false;
    // The data must follow the format: the search goes on from there.
    const int64_t afterFormat = ChunkEnd(m_formatChunk.dwDataOffset, m_formatChunk.cksize);
    if (afterFormat > riffEnd || mmioAscend(m_file, &m_formatChunk, 0) != MMSYSERR_NOERROR ||
        !FindMmioChunk(m_file, mmioFOURCC('d', 'a', 't', 'a'), 0, {afterFormat, riffEnd},
                       &m_dataChunk))
        return false;
    // The size is unsigned: a streamed file declares 0xFFFFFFFF and plays to
    // its end. The device only ever gets whole sample frames.
    m_bytesRemaining = m_dataChunk.cksize - m_dataChunk.cksize % m_blockAlign;
    return mmioGetInfo(m_file, &m_mmioInfo, 0) == MMSYSERR_NOERROR;
}

bool CWaveForm::ReadFormat(WAVEFORMATEX& format) {
    const DWORD chunkSize = m_formatChunk.cksize;
    if (chunkSize < kBaseFormatSize)
        return false;
    WAVEFORMATEX record{};
    if (mmioRead(m_file, reinterpret_cast<HPSTR>(&record), kBaseFormatSize) != kBaseFormatSize)
        return false;
    // Only the chunk's own bytes count: a 16-byte chunk has no cbSize, and
    // PCM has no extra bytes whatever its chunk says.
    m_extraFormat.clear();
    if (record.wFormatTag != WAVE_FORMAT_PCM && chunkSize >= DWORD(kFormatRecordSize)) {
        WORD extraSize = 0;
        if (mmioRead(m_file, reinterpret_cast<HPSTR>(&extraSize), sizeof extraSize) !=
                LONG(sizeof extraSize) ||
            extraSize > chunkSize - kFormatRecordSize)
            return false;
        m_extraFormat.resize(extraSize);
        if (extraSize > 0 &&
            mmioRead(m_file, reinterpret_cast<HPSTR>(m_extraFormat.data()), extraSize) != extraSize)
            return false;
        record.cbSize = extraSize;
    }
    format = record;
    m_blockAlign = std::max<WORD>(record.nBlockAlign, 1);
    return true;
}

int CWaveForm::ReadBlock() {
    const int count = static_cast<int>(std::min<DWORD>(m_bytesRemaining, BlockLimit()));
    char* block = m_blocks[CurrentBlock()];
    // The bytes are taken straight out of the I/O buffer, one run per
    // buffer load.
    int copied = 0;
    while (copied < count) {
        if (m_mmioInfo.pchNext == m_mmioInfo.pchEndRead) {
            if (mmioAdvance(m_file, &m_mmioInfo, MMIO_READ) != MMSYSERR_NOERROR) {
                mmioSetInfo(m_file, &m_mmioInfo, 0);
                return -1;
            }
            if (m_mmioInfo.pchNext == m_mmioInfo.pchEndRead)
                return EndOfFile(copied);
        }
        const int run =
            std::min(count - copied, static_cast<int>(m_mmioInfo.pchEndRead - m_mmioInfo.pchNext));
        std::memcpy(block + copied, m_mmioInfo.pchNext, static_cast<size_t>(run));
        m_mmioInfo.pchNext += run;
        copied += run;
    }
    m_bytesRemaining -= static_cast<DWORD>(count);
    return count;
}

// Every block holds whole sample frames (16384 is no multiple of 3 or 6), so
// that wherever the file ends, the device has only whole frames.
int CWaveForm::BlockLimit() const {
    return m_blockAlign <= kBlockSize ? kBlockSize - kBlockSize % m_blockAlign : kBlockSize;
}

// The file ends inside its data chunk (an interrupted recording, or a
// streamed file): the bytes read so far play, cut to whole sample frames, and
// the data ends there.
int CWaveForm::EndOfFile(int copied) {
    m_bytesRemaining = 0;
    return copied - copied % m_blockAlign;
}

char* CWaveForm::NextBuffer() {
    char* block = m_blocks[CurrentBlock()];
    ++m_blockCounter;
    return block;
}

MMRESULT CWaveForm::CloseWaveForm() {
    m_blockCounter = 0;
    m_bytesRemaining = 0;
    m_fileName[0] = '\0';
    MMRESULT result = mmioSetInfo(m_file, &m_mmioInfo, 0);
    if (result != MMSYSERR_NOERROR)
        return result;
    result = mmioClose(m_file, 0);
    if (result == MMSYSERR_NOERROR) {
        m_open = 0;
        m_file = nullptr;
    }
    return result;
}
