// The wave-out device layer of the POSIX build. waveOut* (WaveOut.cpp) keeps
// the Windows rules for handles and headers; a backend plays the headers on
// its own clock and hands each back when it has been played. The virtual device is one backend;
// WaveOutDevices() lists the devices that KALDRIX_AUDIO asks for.
#pragma once

#include "platform/posix/WindowsApi.h"

#include <memory>
#include <vector>

// One open stream on a device: plays the headers it is given, in order, and
// marks each done (WHDR_DONE set, WHDR_INQUEUE cleared, atomically) from its
// own thread once it has been played, as a Windows driver does.
class WaveOutStream {
public:
    virtual ~WaveOutStream() = default;
    // Queues the header's bytes behind everything queued before. Its data
    // stays valid and unchanged until the stream has marked it done.
    virtual void Play(WAVEHDR* header) = 0;
    // Stops at once: what is not played yet is dropped and every queued
    // header is marked done before Stop returns.
    virtual void Stop() = 0;
    // Whether headers are queued that are not done yet.
    virtual bool Busy() = 0;
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
