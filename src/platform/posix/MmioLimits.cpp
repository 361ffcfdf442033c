// SPDX-License-Identifier: MIT
#include "platform/MmioLimits.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

// RIFF positions are 32-bit: nothing can start at or beyond 4 GiB.
constexpr int64_t kRiffLimit = int64_t(1) << 32;

} // namespace

int64_t MmioFileEnd(const char* fileName) {
    struct stat status;
    if (!fileName || ::stat(fileName, &status) != 0)
        return 0;
    return std::min<int64_t>(status.st_size, kRiffLimit);
}
