// SPDX-License-Identifier: MIT
#pragma once

#include "wave/PlausibleFormat.h"

#include <algorithm>
#include <cstdint>

// The bytes per second a device plays a format at, whatever the file
// declares: uncompressed samples play a block per sample frame; for other
// tags a declared rate below one bit per sample and channel is raised to
// that, so that no deadline taken from it lasts for hours. Any record with
// the fields of WAVEFORMATEX.
template <typename Format> uint32_t PlaybackByteRate(const Format& format) {
    const uint64_t samples = format.nSamplesPerSec;
    const uint64_t rate =
        wave_format::HoldsSampleFrames(format.wFormatTag)
            ? samples * format.nBlockAlign
            : std::max<uint64_t>(format.nAvgBytesPerSec, samples * format.nChannels / 8);
    return static_cast<uint32_t>(std::min<uint64_t>(rate, 0xFFFFFFFFu));
}
