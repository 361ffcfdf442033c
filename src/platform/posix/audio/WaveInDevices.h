#pragma once

#include "platform/posix/audio/WaveInDevice.h"

#include <memory>
#include <vector>

// The wave-in devices that KALDRIX_AUDIO offers (AudioDevices.h).
std::vector<std::shared_ptr<WaveInDevice>> WaveInDevices();
