// SPDX-License-Identifier: MIT
#include "platform/MmioLimits.h"

#include <windows.h>

#include <algorithm>

namespace {

// mmioSeek takes a LONG: a position at or beyond 2 GiB cannot be reached.
constexpr int64_t kMmioSeekLimit = 0x7FFFFFFF;

} // namespace

int64_t MmioFileEnd(const char* fileName) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!fileName || !GetFileAttributesExA(fileName, GetFileExInfoStandard, &data))
        return 0;
    const int64_t size = int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return std::min(size, kMmioSeekLimit);
}
