// SPDX-License-Identifier: MIT
// Buffered RIFF file I/O with the Windows names and results, for reading.
// Handles are numbers looked up in a table, so a call with a closed or made-up
// handle fails with MMSYSERR_INVALHANDLE instead of touching freed memory.
#include "wave/LittleEndian.h"
#include "wave/RiffChunks.h"
#include "winapi/kernel/Immortal.h"
#include "winapi/kernel/Operation.h"
#include "winapi/mmio/MmioFile.h"

#include <algorithm>
#include <cstdint>

namespace {

using MmioTable = HandleTable<HMMIO, MmioFile>;

// Built on first use and never destroyed, so it outlives every static object.
MmioTable& Table() {
    static MmioTable* table = MakeImmortal<MmioTable>(1, 1);
    return *table;
}

// RIFF positions are 32-bit: nothing can start at or beyond 4 GiB.
constexpr int64_t kRiffLimit = int64_t(1) << 32;

// Reads the chunk header at `position`, with the form type of a RIFF or LIST
// chunk, which must lie before `end` as well.
bool ReadHeader(MmioFile& file, int64_t position, int64_t end, RiffChunkHeader* header) {
    unsigned char bytes[12];
    file.Seek(position);
    if (file.Read(reinterpret_cast<char*>(bytes), 8) != 8)
        return false;
    *header = {ReadLe32(bytes), ReadLe32(bytes + 4), 0};
    if (!HasFormType(header->id))
        return true;
    if (position + kChunkHeaderSize + 4 > end ||
        file.Read(reinterpret_cast<char*>(bytes + 8), 4) != 4)
        return false;
    header->formType = ReadLe32(bytes + 8);
    return true;
}

} // namespace

HMMIO mmioOpenA(LPSTR fileName, LPMMIOINFO info, DWORD flags) {
    const Operation operation("mmioOpenA");
    UINT error = MMSYSERR_NOERROR;
    std::unique_ptr<MmioFile> file;
    // Only buffered reading is provided: the library reads WAVE files and
    // writes its recordings through CFile.
    const DWORD accessAndBuffering = flags & (MMIO_WRITE | MMIO_READWRITE | MMIO_ALLOCBUF);
    if (operation.Failed())
        error = operation.Code();
    else if (accessAndBuffering != (MMIO_READ | MMIO_ALLOCBUF))
        error = MMSYSERR_NOTSUPPORTED;
    else
        file = MmioFile::Open(
            fileName, info && info->cchBuffer > 0 ? info->cchBuffer : MMIO_DEFAULTBUFFER, &error);
    if (!file) {
        if (info)
            info->wErrorRet = error;
        return nullptr;
    }
    const HMMIO handle = Table().Add([&](HMMIO number) {
        file->SetHandle(number);
        return std::shared_ptr<MmioFile>(std::move(file));
    });
    if (info)
        info->hmmio = handle;
    return handle;
}

MMRESULT mmioClose(HMMIO handle, UINT) {
    const Operation operation("mmioClose");
    // A failed close leaves the file open, so the caller may try again.
    if (operation.Failed())
        return operation.Code();
    const std::shared_ptr<MmioFile> file = Table().Take(handle);
    return file ? file->Close() : MMSYSERR_INVALHANDLE;
}

LONG mmioRead(HMMIO handle, HPSTR buffer, LONG count) {
    const Operation operation("mmioRead");
    std::shared_ptr<MmioFile> file;
    if (operation.Find(Table(), handle, &file) != MMSYSERR_NOERROR)
        return -1;
    return file->Read(buffer, count);
}

MMRESULT mmioDescend(HMMIO handle, LPMMCKINFO chunk, LPCMMCKINFO parent, UINT flags) {
    const Operation operation("mmioDescend");
    std::shared_ptr<MmioFile> file;
    if (const MMRESULT entry = operation.Find(Table(), handle, &file, chunk != nullptr))
        return entry;

    int64_t position = file->Position();
    int64_t end = std::min(kRiffLimit, file->Size());
    if (parent) {
        // The search stays inside the parent's data, from the current
        // position on.
        const int64_t start = parent->dwDataOffset;
        end = std::min<int64_t>(end, start + parent->cksize);
        if (position < start || position >= end)
            return MMIOERR_CHUNKNOTFOUND;
    }

    FOURCC wantedId = 0;
    FOURCC wantedType = 0;
    if (flags & MMIO_FINDCHUNK)
        wantedId = chunk->ckid;
    if (flags & MMIO_FINDLIST) {
        wantedId = FOURCC_LIST;
        wantedType = chunk->fccType;
    }
    if (flags & MMIO_FINDRIFF) {
        wantedId = FOURCC_RIFF;
        wantedType = chunk->fccType;
    }

    const ChunkSearch search = FindChunk(
        {position, end},
        [&](int64_t at, RiffChunkHeader* header) { return ReadHeader(*file, at, end, header); },
        [&](const RiffChunkHeader& header, int64_t) {
            return (!wantedId || header.id == wantedId) &&
                   (!wantedType || header.formType == wantedType);
        });
    if (search.outcome != ChunkSearch::found)
        return MMIOERR_CHUNKNOTFOUND;
    const RiffChunkHeader& found = search.header;
    chunk->ckid = found.id;
    chunk->cksize = found.size;
    chunk->fccType = found.formType;
    chunk->dwDataOffset = static_cast<DWORD>(search.position + kChunkHeaderSize);
    chunk->dwFlags = 0;
    // Inside a RIFF or LIST chunk the position is past its type.
    file->Seek(search.position + kChunkHeaderSize + (HasFormType(found.id) ? 4 : 0));
    return MMSYSERR_NOERROR;
}

MMRESULT mmioAscend(HMMIO handle, LPMMCKINFO chunk, UINT) {
    const Operation operation("mmioAscend");
    std::shared_ptr<MmioFile> file;
    if (const MMRESULT entry = operation.Find(Table(), handle, &file, chunk != nullptr))
        return entry;
    if (chunk->dwFlags & MMIO_DIRTY)
        return MMIOERR_CANNOTWRITE; // a chunk created for writing; files are only read here
    file->Seek(ChunkEnd(chunk->dwDataOffset, chunk->cksize));
    return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO handle, LPMMIOINFO info, UINT) {
    const Operation operation("mmioGetInfo");
    std::shared_ptr<MmioFile> file;
    if (const MMRESULT entry = operation.Find(Table(), handle, &file, info != nullptr))
        return entry;
    *info = file->Info();
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetInfo(HMMIO handle, LPCMMIOINFO info, UINT) {
    const Operation operation("mmioSetInfo");
    std::shared_ptr<MmioFile> file;
    if (const MMRESULT entry = operation.Find(Table(), handle, &file, info != nullptr))
        return entry;
    return file->SetNext(info->pchNext) ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

MMRESULT mmioAdvance(HMMIO handle, LPMMIOINFO info, UINT flags) {
    const Operation operation("mmioAdvance");
    std::shared_ptr<MmioFile> file;
    if (const MMRESULT entry = operation.Find(Table(), handle, &file, true))
        return entry;
    if (flags != MMIO_READ)
        return MMSYSERR_INVALFLAG;
    // The next buffer is the one after the loaded bytes, wherever the
    // caller's pchNext stood; the caller's copy then shows it.
    const bool loaded = file->Refill();
    if (info) {
        const MMIOINFO& state = file->Info();
        info->pchNext = state.pchNext;
        info->pchEndRead = state.pchEndRead;
        info->pchEndWrite = state.pchEndWrite;
        info->lBufOffset = state.lBufOffset;
        info->lDiskOffset = state.lDiskOffset;
    }
    return loaded ? MMSYSERR_NOERROR : MMIOERR_CANNOTREAD;
}
