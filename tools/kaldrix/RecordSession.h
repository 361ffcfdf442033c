// SPDX-License-Identifier: MIT
// One recording through the library: checks that the file can be created,
// starts, watches and stops the recording, and describes its progress.
#pragma once

#include "LevelMeter.h"
#include "Library.h"
#include "WaveInspection.h"
#include "wave/RecordingHeader.h"

#include <chrono>
#include <string>

namespace cli {

class RecordSession {
public:
    RecordSession(const Library& library, std::string path, const RecordingHeader::Format& format);
    // Stops a recording that a failure left running, so that its header is
    // still completed.
    ~RecordSession();
    RecordSession(const RecordSession&) = delete;
    RecordSession& operator=(const RecordSession&) = delete;

    // Throws Failure(kCannotCreate) for a file that cannot be created and
    // Failure(kNoDevice) when the library cannot open its recording device.
    void Start();
    // Completes the file; throws Failure(kFailed) when the library cannot.
    // The piece of sound still being captured at the stop is not written;
    // of what was, a file that holds more than `frames` keeps the first
    // `frames`. Returns the finished file's header.
    WaveFile Stop(uint64_t frames);

    // "wave-in 0 (NAME)", or "no wave-in device: REASON".
    const std::string& device() const { return m_device; }
    double Elapsed() const;
    // Whole frames of sound the file holds so far.
    uint64_t RecordedFrames() const;
    // "0:03.1  48.8 KiB [##########----------]  -30 dB" (the meter only
    // with `withLevel`, as reading the file costs a little each time).
    std::string ProgressText(bool withLevel) const;

private:
    const Library& m_library;
    std::string m_path;
    RecordingHeader::Format m_format;
    LevelMeter m_meter;
    std::string m_device;
    bool m_hasDevice;
    bool m_recording = false;
    std::chrono::steady_clock::time_point m_started;
};

// The frames of `seconds` of sound in `format`, to the nearest, and at most
// as many as a WAVE header can declare.
uint64_t RecordedFramesFor(double seconds, const RecordingHeader::Format& format);

// "8000 Hz 16-bit mono", "48000 Hz 24-bit 2 channels".
std::string DescribeRecordingFormat(const RecordingHeader::Format& format);

// "recorded FILE: 0:02.0, 32640 bytes of sound".
std::string RecordingSummary(const std::string& path, const WaveFile& wave);

} // namespace cli
