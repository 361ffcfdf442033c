// SPDX-License-Identifier: MIT
#pragma once

// Included by platform.h after the platform types.

// Whether a format is one a real device could be asked to open, checked
// before any device sees it on both builds, so that nothing implausible
// reaches a system's converter or audio server: at least one channel, a
// sample rate that covers every real device, and a block alignment that is
// not 0 and, for uncompressed samples (PCM, float, and the extensible form,
// whose container size wBitsPerSample is), exactly one sample frame of whole
// bytes. The declared byte rate is not looked at: deadlines follow the real
// one.
inline bool IsPlausibleFormat(const WAVEFORMATEX& format) {
    constexpr DWORD kLowestRate = 1000;
    constexpr DWORD kHighestRate = 384000;
    if (format.nChannels < 1 || format.nSamplesPerSec < kLowestRate ||
        format.nSamplesPerSec > kHighestRate || format.nBlockAlign < 1)
        return false;
    switch (format.wFormatTag) {
    case WAVE_FORMAT_PCM:
    case WAVE_FORMAT_IEEE_FLOAT:
    case WAVE_FORMAT_EXTENSIBLE:
        return format.wBitsPerSample % 8 == 0 &&
               format.nBlockAlign == unsigned(format.nChannels) * format.wBitsPerSample / 8;
    default:
        return true;
    }
}
