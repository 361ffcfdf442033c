#include "playback/WaveForm.h"

#include <algorithm>
#include <cstring>

namespace {

// The "fmt " fields up to wBitsPerSample; cbSize and the extra bytes follow.
constexpr LONG kBaseFormatSize = 16;
constexpr LONG kFormatRecordSize = sizeof(WAVEFORMATEX);

} // namespace

CWaveForm::CWaveForm(const char* fileName) {
    std::memset(m_blocks, 0x80, sizeof m_blocks);
    std::memset(m_fileName, 0, sizeof m_fileName);
    // A name that does not fit is refused, not cut: a cut name could open a
    // different file. OpenWaveForm then fails without opening anything.
    if (fileName && std::strlen(fileName) < kNameSize)
        std::strcpy(m_fileName, fileName);
}

CWaveForm::~CWaveForm() {
    if (m_open)
        CloseWaveForm();
}

int CWaveForm::OpenWaveForm(WAVEFORMATEX& format) {
    m_open = 0;
    if (m_fileName[0] == '\0')
        return 1;
    m_file = mmioOpenA(m_fileName, nullptr, MMIO_ALLOCBUF | MMIO_READ);
    if (!m_file)
        return 1;
    if (!FindFormatAndData(format)) {
        mmioClose(m_file, 0);
        m_file = nullptr;
        return 1;
    }
    m_open = 1;
    return 0;
}

bool CWaveForm::FindFormatAndData(WAVEFORMATEX& format) {
    m_riffChunk.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    if (mmioDescend(m_file, &m_riffChunk, nullptr, MMIO_FINDRIFF) != MMSYSERR_NOERROR)
        return false;
    m_formatChunk.ckid = mmioFOURCC('f', 'm', 't', ' ');
    if (mmioDescend(m_file, &m_formatChunk, &m_riffChunk, MMIO_FINDCHUNK) != MMSYSERR_NOERROR ||
        !ReadFormat(format))
        return false;
    mmioAscend(m_file, &m_formatChunk, 0);
    // The data must follow the format: the search goes on from here.
    m_dataChunk.ckid = mmioFOURCC('d', 'a', 't', 'a');
    if (mmioDescend(m_file, &m_dataChunk, &m_riffChunk, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return false;
    // A chunk declared at 2^31 bytes or more turns negative and delivers
    // nothing.
    m_bytesRemaining = static_cast<int>(m_dataChunk.cksize);
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
    return true;
}

int CWaveForm::ReadBlock() {
    if (m_bytesRemaining < 0)
        return 0;
    const int count = std::min(m_bytesRemaining, kBlockSize);
    char* block = m_blocks[CurrentBlock()];
    // The bytes are taken straight out of the I/O buffer, one run per
    // buffer load.
    int copied = 0;
    while (copied < count) {
        if (m_mmioInfo.pchNext == m_mmioInfo.pchEndRead) {
            if (mmioAdvance(m_file, &m_mmioInfo, MMIO_READ) != MMSYSERR_NOERROR ||
                m_mmioInfo.pchNext == m_mmioInfo.pchEndRead) {
                // The file ends before its data chunk does, or cannot be read.
                mmioSetInfo(m_file, &m_mmioInfo, 0);
                return -1;
            }
        }
        const int run =
            std::min(count - copied, static_cast<int>(m_mmioInfo.pchEndRead - m_mmioInfo.pchNext));
        std::memcpy(block + copied, m_mmioInfo.pchNext, static_cast<size_t>(run));
        m_mmioInfo.pchNext += run;
        copied += run;
    }
    m_bytesRemaining -= count;
    return count;
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
