// The wave-out device layer of the POSIX build. waveOut* (WaveOut.cpp) keeps
// the Windows rules for handles and headers; a backend only plays bytes on its
// own clock and says how far it has got. The virtual device is one backend;
// WaveOutDevices() lists the devices that KALDRIX_AUDIO asks for.
#pragma once

#include "platform/posix/WindowsApi.h"

#include <memory>
#include <vector>

// One open stream on a device: plays the bytes it is given, in order.
class WaveOutStream {
public:
    virtual ~WaveOutStream() = default;
    // Queues `size` bytes behind everything queued before. `data` stays valid
    // and unchanged until PlayedBytes has passed its end or Stop was called.
    virtual void Play(const char* data, DWORD size) = 0;
    // Bytes played since the open or the last Stop.
    virtual ULONGLONG PlayedBytes() = 0;
    // Stops at once: what is not played yet is dropped and the count of
    // played bytes starts again from 0.
    virtual void Stop() = 0;
};

class WaveOutDevice {
public:
    virtual ~WaveOutDevice() = default;
    // The product name, at most MAXPNAMELEN - 1 bytes.
    virtual const char* Name() const = 0;
    // MMSYSERR_NOERROR when the device plays `format` (the whole record:
    // 18 bytes plus its cbSize extra bytes), else WAVERR_BADFORMAT.
    virtual MMRESULT CheckFormat(const WAVEFORMATEX& format) const = 0;
    // Opens a stream for a format that CheckFormat accepted.
    virtual MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutStream>* stream) = 0;
};

// The wave-out devices that KALDRIX_AUDIO chooses, read at each call.
std::vector<std::shared_ptr<WaveOutDevice>> WaveOutDevices();
