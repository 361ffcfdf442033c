// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

#include <vector>

// One WAVE file opened for one playback: its format record, then the sound
// data of its "data" chunk in blocks of at most 16384 bytes, read into two
// block buffers that the player alternates between. Always on the heap.
class CWaveForm {
public:
    static constexpr int kBlockSize = 16384;
    static constexpr size_t kNameSize = 256;

    explicit CWaveForm(const char* fileName);
    virtual ~CWaveForm();
    CWaveForm(const CWaveForm&) = delete;
    CWaveForm& operator=(const CWaveForm&) = delete;

    // 0 on success, 1 on any failure. `format` receives the 18-byte record;
    // extra format bytes (cbSize of them) are kept, see ExtraFormatBytes.
    int OpenWaveForm(WAVEFORMATEX& format);
    // Bytes read into the current block buffer (1..16384, whole sample
    // frames), 0 when the data is
    // exhausted, -1 when the file cannot be read. A file that ends before its
    // data chunk does delivers what it holds, in whole sample frames, then 0.
    int ReadBlock();
    // The current block buffer; then advances the block counter.
    char* NextBuffer();
    // The platform's result code: 0 on success.
    MMRESULT CloseWaveForm();

    // The format's extra bytes after the 18-byte record (empty for PCM).
    const std::vector<BYTE>& ExtraFormatBytes() const { return m_extraFormat; }
    // The block counter, which the player links to.
    int& BlockCounter() { return m_blockCounter; }

private:
    // Steps of OpenWaveForm after the file is open: false on any failure.
    bool FindFormatAndData(WAVEFORMATEX& format);
    bool ReadFormat(WAVEFORMATEX& format);
    void CloseFailedOpen();
    // ReadBlock's result when the file ends after `copied` bytes of a block.
    int EndOfFile(int copied);
    int BlockLimit() const;
    // The block buffer that the next ReadBlock fills and NextBuffer hands out.
    unsigned CurrentBlock() const { return static_cast<unsigned>(m_blockCounter) % 2; }

    int m_open = 0;
    int m_blockCounter = 0;
    MMIOINFO m_mmioInfo{};
    MMCKINFO m_riffChunk{};
    MMCKINFO m_formatChunk{};
    MMCKINFO m_dataChunk{};
    DWORD m_bytesRemaining = 0;
    WORD m_blockAlign = 1; // the format's sample frame, which a last block is cut to
    char m_blocks[2][kBlockSize];
    char m_fileName[kNameSize];
    HMMIO m_file = nullptr;
    std::vector<BYTE> m_extraFormat;
};
