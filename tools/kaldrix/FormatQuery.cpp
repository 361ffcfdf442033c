// SPDX-License-Identifier: MIT
#include "FormatQuery.h"

#include "WindowsCalls.h"
#include "wave/PlausibleFormat.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace cli {

bool DeviceRefusesFormat(unsigned deviceId, const WaveFile& wave) {
    // The format as the player hands it to the device: a WAVEFORMATEX (cbSize
    // 0 for a 16-byte chunk) followed by the extra bytes that the chunk holds
    // and cbSize announces.
    const std::vector<uint8_t>& chunk = wave.formatBytes;
    if (chunk.size() < 16)
        return false;
    WAVEFORMATEX head{};
    std::memcpy(&head, chunk.data(), std::min(chunk.size(), sizeof head));
    const size_t extra = chunk.size() > sizeof head ? chunk.size() - sizeof head : 0;
    head.cbSize = static_cast<WORD>(std::min<size_t>(head.cbSize, extra));
    std::vector<uint8_t> format(reinterpret_cast<const uint8_t*>(&head),
                                reinterpret_cast<const uint8_t*>(&head) + sizeof head);
    format.insert(format.end(), chunk.begin() + sizeof head,
                  chunk.begin() + sizeof head + head.cbSize);
    // A format the library refuses before any device sees it is not asked
    // about: a system converter may abort the process on it.
    return !IsPlausibleFormat(head) ||
           waveOutOpen(nullptr, deviceId, reinterpret_cast<const WAVEFORMATEX*>(format.data()), 0,
                       0, WAVE_FORMAT_QUERY) == WAVERR_BADFORMAT;
}

} // namespace cli
