#pragma once

#include "platform/posix/audio/WaveOutDevice.h"

#include <memory>
#include <vector>

// The wave-out devices that KALDRIX_AUDIO offers (AudioDevices.h).
std::vector<std::shared_ptr<WaveOutDevice>> WaveOutDevices();
