// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

#include <memory>
#include <string>
#include <vector>

struct pollfd;

enum class Direction { Playback, Capture };

// One open device stream as bytes and a clock: no header, no handle, no
// message. WaveStream (the Windows rules) drives it from its one thread, with
// the stream's lock held for every call, so an implementation needs no lock
// of its own. Frames are whole sample frames of the format it was opened for.
class Backend {
public:
    Backend() = default;
    virtual ~Backend() = default; // closes the device
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    // Playback: plays what was written, even less than the device's start
    // threshold. Capture: captures from now on; what came before is not
    // recorded.
    virtual void Start() = 0;
    // Playback writes up to `frames` frames from `data`, capture reads up to
    // `frames` frames into it: the frames moved, 0 when there is no room or no
    // data just now, negative when the device is lost for good. Under-runs,
    // over-runs and a suspend are recovered inside.
    virtual long Transfer(char* data, unsigned long frames) = 0;
    // Playback: frames written and not yet heard. Capture: frames captured
    // and not yet read.
    virtual long Pending() = 0;
    // Drops what the device holds at once and makes it ready to start again.
    virtual void Drop() = 0;
    // Milliseconds until, playing, no more than `frames` frames wait to be
    // heard, or, capturing (asked right after a read that took all there
    // was), `frames` more frames can be read; -1 when never.
    virtual int MillisecondsUntil(unsigned long frames) = 0;
    // The descriptors to sleep on for room or data (at most `room`), their
    // count; after poll(), Woken lets the device clear what woke it.
    virtual int Descriptors(pollfd* descriptors, int room) = 0;
    virtual void Woken(pollfd* descriptors, int count) = 0;
    // The device's buffer and the step it moves in, in frames (0: a frame
    // at a time). A capture is read a period's worth at a time.
    virtual unsigned long BufferFrames() const = 0;
    virtual unsigned long PeriodFrames() const = 0;
    // The name of the stream thread that serves it.
    virtual const char* ThreadName() const = 0;
};

// A device one backend offers in one direction.
struct DeviceName {
    std::string id;      // what the backend opens (an ALSA PCM name)
    std::string display; // the product name, at most MAXPNAMELEN - 1 bytes
};

// One row of the backend table (Backends.cpp).
struct BackendKind {
    const char* name; // as KALDRIX_AUDIO names it
    // The devices, the first being what wave-out 0 and the wave mapper use.
    std::vector<DeviceName> (*devices)(Direction direction);
    // MMSYSERR_NOERROR when the device takes `format` (the whole record with
    // its cbSize extra bytes), else WAVERR_BADFORMAT; opens nothing.
    MMRESULT (*check)(Direction direction, const WAVEFORMATEX& format);
    // Opens a device for a format that `check` accepted: MMSYSERR_NOERROR,
    // MMSYSERR_BADDEVICEID when it cannot be opened, MMSYSERR_ALLOCATED when
    // another program holds it, WAVERR_BADFORMAT when it refuses the format.
    MMRESULT(*open)
    (Direction direction, const std::string& id, const WAVEFORMATEX& format,
     std::unique_ptr<Backend>* opened);
};

extern const BackendKind kAlsaBackend;
extern const BackendKind kVirtualBackend;

// Every backend, for the conformance suite and for `kaldrix devices`.
const std::vector<const BackendKind*>& AllBackends();

// What KALDRIX_AUDIO chose, read at each call (never while the library loads).
struct AudioChoice {
    const BackendKind* backend; // null: no device
    std::string setting;        // "KALDRIX_AUDIO=alsa", "KALDRIX_AUDIO unset"
    std::string why;            // for a person: the setting and what it made
};
AudioChoice ChooseBackend();

// The devices of the chosen backend in one direction, by wave device id.
struct ChosenDevice {
    const BackendKind* backend = nullptr;
    DeviceName name;
};
std::vector<ChosenDevice> ChosenDevices(Direction direction);

// The samples of a wave format: PCM or IEEE float, plain or in the extensible
// form (whose sub-format GUID is read here and nowhere else). False for any
// other format or an extensible record too short for its fields.
struct SampleLayout {
    WORD tag;       // WAVE_FORMAT_PCM or WAVE_FORMAT_IEEE_FLOAT
    WORD bits;      // container bits per sample
    WORD validBits; // of those, the ones that carry the sample
};
bool DescribeSamples(const WAVEFORMATEX& format, SampleLayout* layout);

// The playback formats every backend offers at least the checks of: a
// plausible format (wave/PlausibleFormat.h) of 1 to 8 channels and 1000
// to 192000 samples per second, a byte rate that is not 0, PCM of 8 to 32
// bits or 32-bit float; a sample frame is thus at most 32 bytes.
MMRESULT CheckPlayableFormat(const WAVEFORMATEX& format);
