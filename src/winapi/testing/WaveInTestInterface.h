// SPDX-License-Identifier: MIT
// The wave-in part of the POSIX layer's test interface (see TestInterface.h
// for making an operation such as "waveInAddBuffer" fail).
#pragma once

namespace kxtest {

// Headers prepared on wave-in devices that are still open.
unsigned PreparedWaveInHeaders();
// Of those, the headers on devices whose close failed, which their owner
// keeps on purpose.
unsigned KeptWaveInHeaders();
// Wave-in handles open.
unsigned OpenWaveInDevices();

} // namespace kxtest
