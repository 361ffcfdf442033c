// Buffered RIFF file I/O with the Windows names and results, for reading.
// Handles are numbers looked up in a table, so a call with a closed or made-up
// handle fails with MMSYSERR_INVALHANDLE instead of touching freed memory.
#include "platform/posix/FaultInjection.h"
#include "platform/posix/MmioFile.h"
#include "platform/posix/ThreadState.h"
#include "platform/posix/Immortal.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace {

struct MmioTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::unique_ptr<MmioFile>> files;
    uintptr_t lastHandle = 0;
};

// Built on first use and never destroyed, so it outlives every static object.
MmioTable& Table() {
    static MmioTable* table = MakeImmortal<MmioTable>();
    return *table;
}

MmioFile* FileOf(HMMIO handle) {
    MmioTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.files.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.files.end() ? nullptr : it->second.get();
}

// The common entry of the operations on an open file: the file behind the
// handle, the argument that the operation needs, and a failure that a test
// asked for.
MMRESULT EnterOperation(const char* operation, HMMIO handle, bool argumentGiven, MmioFile** file) {
    *file = FileOf(handle);
    if (!*file)
        return MMSYSERR_INVALHANDLE;
    if (!argumentGiven)
        return MMSYSERR_INVALPARAM;
    DWORD code = 0;
    if (InjectedFailure(operation, &code))
        return code;
    return MMSYSERR_NOERROR;
}

// RIFF positions are 32-bit: nothing can start at or beyond 4 GiB.
constexpr int64_t kRiffLimit = int64_t(1) << 32;
constexpr int64_t kHeaderSize = 8;
// A search gives up after this many chunks: a sparse or zero-filled file
// would otherwise walk empty 8-byte chunks through 4 GiB.
constexpr int kMaxChunksPerSearch = 65536;

bool HasFormType(FOURCC id) { return id == FOURCC_RIFF || id == FOURCC_LIST; }

uint32_t Le32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

// Where the chunk after one that starts at `dataOffset - 8` begins: past its
// data and its pad byte.
int64_t ChunkEnd(int64_t dataOffset, DWORD size) { return dataOffset + size + (size & 1); }

} // namespace

HMMIO mmioOpenA(LPSTR fileName, LPMMIOINFO info, DWORD flags) {
    const ParkAround park;
    UINT error = MMSYSERR_NOERROR;
    DWORD code = 0;
    std::unique_ptr<MmioFile> file;
    // Only buffered reading is provided: the library reads WAVE files and
    // writes its recordings through CFile.
    const DWORD accessAndBuffering = flags & (MMIO_WRITE | MMIO_READWRITE | MMIO_ALLOCBUF);
    if (InjectedFailure("mmioOpenA", &code))
        error = code;
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
    MmioTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto handle = reinterpret_cast<HMMIO>(++table.lastHandle);
    file->SetHandle(handle);
    if (info)
        info->hmmio = handle;
    table.files.emplace(table.lastHandle, std::move(file));
    return handle;
}

MMRESULT mmioClose(HMMIO handle, UINT) {
    const ParkAround park;
    DWORD code = 0;
    std::unique_ptr<MmioFile> file;
    {
        MmioTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.files.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.files.end())
            return MMSYSERR_INVALHANDLE;
        // A failed close leaves the file open, so the caller may try again.
        if (InjectedFailure("mmioClose", &code))
            return code;
        file = std::move(it->second);
        table.files.erase(it);
    }
    return file->Close();
}

LONG mmioRead(HMMIO handle, HPSTR buffer, LONG count) {
    const ParkAround park;
    MmioFile* file = FileOf(handle);
    DWORD code = 0;
    if (!file || InjectedFailure("mmioRead", &code))
        return -1;
    return file->Read(buffer, count);
}

MMRESULT mmioDescend(HMMIO handle, LPMMCKINFO chunk, LPCMMCKINFO parent, UINT flags) {
    const ParkAround park;
    MmioFile* file = nullptr;
    if (const MMRESULT entry = EnterOperation("mmioDescend", handle, chunk != nullptr, &file))
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

    for (int chunks = 0; chunks < kMaxChunksPerSearch; ++chunks) {
        unsigned char header[12];
        file->Seek(position);
        if (position + kHeaderSize > end || file->Read(reinterpret_cast<char*>(header), 8) != 8)
            return MMIOERR_CHUNKNOTFOUND;
        const FOURCC id = Le32(header);
        const DWORD size = Le32(header + 4);
        FOURCC type = 0;
        if (HasFormType(id)) {
            if (position + kHeaderSize + 4 > end ||
                file->Read(reinterpret_cast<char*>(header + 8), 4) != 4)
                return MMIOERR_CHUNKNOTFOUND;
            type = Le32(header + 8);
        }
        if ((!wantedId || id == wantedId) && (!wantedType || type == wantedType)) {
            chunk->ckid = id;
            chunk->cksize = size;
            chunk->fccType = type;
            chunk->dwDataOffset = static_cast<DWORD>(position + kHeaderSize);
            chunk->dwFlags = 0;
            // Inside a RIFF or LIST chunk the position is past its type.
            file->Seek(position + kHeaderSize + (HasFormType(id) ? 4 : 0));
            return MMSYSERR_NOERROR;
        }
        position = ChunkEnd(position + kHeaderSize, size);
    }
    return MMIOERR_CHUNKNOTFOUND;
}

MMRESULT mmioAscend(HMMIO handle, LPMMCKINFO chunk, UINT) {
    const ParkAround park;
    MmioFile* file = nullptr;
    if (const MMRESULT entry = EnterOperation("mmioAscend", handle, chunk != nullptr, &file))
        return entry;
    if (chunk->dwFlags & MMIO_DIRTY)
        return MMIOERR_CANNOTWRITE; // a chunk created for writing; files are only read here
    file->Seek(ChunkEnd(chunk->dwDataOffset, chunk->cksize));
    return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO handle, LPMMIOINFO info, UINT) {
    const ParkAround park;
    MmioFile* file = nullptr;
    if (const MMRESULT entry = EnterOperation("mmioGetInfo", handle, info != nullptr, &file))
        return entry;
    *info = file->Info();
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetInfo(HMMIO handle, LPCMMIOINFO info, UINT) {
    const ParkAround park;
    MmioFile* file = nullptr;
    if (const MMRESULT entry = EnterOperation("mmioSetInfo", handle, info != nullptr, &file))
        return entry;
    return file->SetNext(info->pchNext) ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

MMRESULT mmioAdvance(HMMIO handle, LPMMIOINFO info, UINT flags) {
    const ParkAround park;
    MmioFile* file = nullptr;
    if (const MMRESULT entry = EnterOperation("mmioAdvance", handle, true, &file))
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
