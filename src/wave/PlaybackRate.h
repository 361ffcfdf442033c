// SPDX-License-Identifier: MIT
#pragma once

// Included by platform.h after the platform types.

#include <algorithm>
#include <cstdint>

// The bytes per second a device plays a format at, whatever the file
// declares: uncompressed samples (PCM, float, and the extensible form of
// either) play a block per sample frame; for other tags a declared rate below
// one bit per sample and channel is raised to that, so that no deadline taken
// from it lasts for hours.
inline DWORD PlaybackByteRate(const WAVEFORMATEX& format) {
    const uint64_t samples = format.nSamplesPerSec;
    uint64_t rate;
    switch (format.wFormatTag) {
    case WAVE_FORMAT_PCM:
    case WAVE_FORMAT_IEEE_FLOAT:
    case WAVE_FORMAT_EXTENSIBLE:
        rate = samples * format.nBlockAlign;
        break;
    default:
        rate = std::max<uint64_t>(format.nAvgBytesPerSec, samples * format.nChannels / 8);
        break;
    }
    return static_cast<DWORD>(std::min<uint64_t>(rate, 0xFFFFFFFFu));
}
