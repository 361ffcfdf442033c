// SPDX-License-Identifier: MIT
#include "platform/MmioLimits.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

// RIFF positions are 32-bit: nothing can start at or beyond 4 GiB.
constexpr int64_t kRiffLimit = int64_t(1) << 32;

} // namespace

// The emulation's mmio keeps the file's descriptor in adwInfo[0], where
// winmm's DOS file I/O procedure keeps its handle.
int64_t MmioFileEnd(HMMIO file) {
    MMIOINFO info{};
    struct stat status;
    if (mmioGetInfo(file, &info, 0) != MMSYSERR_NOERROR ||
        ::fstat(static_cast<int>(info.adwInfo[0]), &status) != 0)
        return 0;
    return std::min<int64_t>(status.st_size, kRiffLimit);
}
