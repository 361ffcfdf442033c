// SPDX-License-Identifier: MIT
// What a wave format record asks of a device, for any record with the fields
// of WAVEFORMATEX: written without the platform's types, so that the
// library, the devices of the Windows-call emulation and the kaldrix program
// judge a format alike.
#pragma once

#include <cstdint>

namespace wave_format {

constexpr uint16_t kPcm = 0x0001;
constexpr uint16_t kIeeeFloat = 0x0003;
constexpr uint16_t kExtensible = 0xFFFE;

// PCM, float and the extensible form (whose container size wBitsPerSample
// is) hold uncompressed samples: one block per sample frame.
constexpr bool HoldsSampleFrames(uint16_t tag) {
    return tag == kPcm || tag == kIeeeFloat || tag == kExtensible;
}

} // namespace wave_format

// Whether a format is one a real device could be asked to open, checked
// before any device sees it on both builds, so that nothing implausible
// reaches a system's converter or audio server: at least one channel, a
// sample rate that covers every real device, and a block alignment that is
// not 0 and, for uncompressed samples, exactly one sample frame of whole
// bytes. The declared byte rate is not looked at: deadlines follow the real
// one.
template <typename Format> bool IsPlausibleFormat(const Format& format) {
    constexpr uint32_t kLowestRate = 1000;
    constexpr uint32_t kHighestRate = 384000;
    if (format.nChannels < 1 || format.nSamplesPerSec < kLowestRate ||
        format.nSamplesPerSec > kHighestRate || format.nBlockAlign < 1)
        return false;
    if (!wave_format::HoldsSampleFrames(format.wFormatTag))
        return true;
    return format.wBitsPerSample % 8 == 0 &&
           format.nBlockAlign == unsigned(format.nChannels) * format.wBitsPerSample / 8;
}
