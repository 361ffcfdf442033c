// SPDX-License-Identifier: MIT
#include "AudioDevices.h"

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

namespace cli {

// winmm lists the devices there are: nothing needs opening.
AudioDevices ListAudioDevices(bool) {
    AudioDevices devices;
    devices.outputs = DeviceNames<WAVEOUTCAPSA>(waveOutGetNumDevs, waveOutGetDevCapsA);
    devices.inputs = DeviceNames<WAVEINCAPSA>(waveInGetNumDevs, waveInGetDevCapsA);
    // The wave mapper records from the preferred wave-in device, which the
    // mapper names when asked; without an answer it is the first one.
    DWORD preferred = 0;
    DWORD flags = 0;
    if (waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(WAVE_MAPPER)),
                      DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<DWORD_PTR>(&preferred),
                      reinterpret_cast<DWORD_PTR>(&flags)) == MMSYSERR_NOERROR &&
        preferred < devices.inputs.size())
        devices.recordIndex = preferred;
    devices.noOutput = "Windows has no wave-out device";
    devices.noInput = "Windows has no wave-in device";
    return devices;
}

// winmm says no more than its error codes, which the messages give already.
std::string DeviceFailure(bool) { return ""; }

std::string UseDevice(const std::string& name) {
    return "-D " + name + ": on Windows kaldrix uses the system's default devices, wave-out " +
           "device 0 and the wave mapper";
}

} // namespace cli
