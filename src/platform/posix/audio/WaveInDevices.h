#pragma once

#include "platform/posix/audio/WaveInDevice.h"

#include <vector>

// The wave-in devices that KALDRIX_AUDIO offers, read again at every call so
// that the choice is made on use and never while the library loads. The
// devices themselves live for the whole process.
std::vector<WaveInDevice*> CurrentWaveInDevices();
