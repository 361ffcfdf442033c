// SPDX-License-Identifier: MIT
// One recording through the library: checks that the file can be created,
// starts, watches and stops the recording, and describes its progress.
#pragma once

#include "LevelMeter.h"
#include "Library.h"
#include "WaveInspection.h"

#include <chrono>
#include <string>

namespace cli {

class RecordSession {
public:
    RecordSession(const Library& library, std::string path);
    // Stops a recording that a failure left running, so that its header is
    // still completed.
    ~RecordSession();
    RecordSession(const RecordSession&) = delete;
    RecordSession& operator=(const RecordSession&) = delete;

    // Throws Failure(kCannotCreate) for a file that cannot be created and
    // Failure(kNoDevice) when the library cannot open its recording device.
    void Start();
    // Completes the file; throws Failure(kFailed) when the library cannot.
    // The piece of sound still being captured at the stop is not written.
    // Returns the finished file's header.
    WaveFile Stop();

    // "wave-in 0 (NAME)", or "no wave-in device: REASON".
    const std::string& device() const { return m_device; }
    double Elapsed() const;
    // Seconds of sound the file holds so far.
    double RecordedSeconds() const;
    // "0:03.1  48.8 KiB [##########----------]  -30 dB" (the meter only
    // with `withLevel`, as reading the file costs a little each time).
    std::string ProgressText(bool withLevel) const;

private:
    const Library& m_library;
    std::string m_path;
    LevelMeter m_meter;
    std::string m_device;
    bool m_hasDevice;
    bool m_recording = false;
    std::chrono::steady_clock::time_point m_started;
};

// "recorded FILE: 0:02.0, 32640 bytes of sound".
std::string RecordingSummary(const std::string& path, const WaveFile& wave);

} // namespace cli
