// SPDX-License-Identifier: MIT
#include "platform/MmioLimits.h"

#include <algorithm>

namespace {

// mmioSeek takes a LONG: a position at or beyond 2 GiB cannot be reached.
constexpr int64_t kMmioSeekLimit = 0x7FFFFFFF;

} // namespace

// winmm's DOS file I/O procedure keeps the file's handle in adwInfo[0].
int64_t MmioFileEnd(HMMIO file) {
    MMIOINFO info{};
    LARGE_INTEGER size;
    if (mmioGetInfo(file, &info, 0) != MMSYSERR_NOERROR ||
        !GetFileSizeEx(LongToHandle(static_cast<LONG>(info.adwInfo[0])), &size))
        return 0;
    return std::min<int64_t>(size.QuadPart, kMmioSeekLimit);
}
