// SPDX-License-Identifier: MIT
// One playback through the library: checks the file, starts, watches and
// stops it, and describes its progress.
#pragma once

#include "Library.h"
#include "StatusLine.h"
#include "WaveInspection.h"

#include <chrono>
#include <string>

namespace cli {

class PlaySession {
public:
    // Inspects the file; throws Failure for a missing or malformed one.
    PlaySession(const Library& library, std::string path);

    const WaveFile& wave() const { return m_wave; }
    // "wave-out 0 (NAME)", or "no wave-out device: REASON".
    const std::string& device() const { return m_device; }
    bool HasSound() const { return m_wave.dataPresent > 0; }

    // Throws Failure(kFormatRefused) when the library cannot start the
    // playback and the device refuses the file's format, Failure(kNoDevice)
    // for any other failure: the file passed the host's own check, so it is
    // the device that failed.
    void Start();
    // Asks the library; takes about 200 ms while playing.
    bool Playing() const;
    // True when the playback has run well past its end without ending.
    bool Overdue() const;
    // Throws Failure(kFailed) when the library cannot stop its play thread.
    void Stop();

    double Elapsed() const;
    // "0:01.2 / 0:05.0 [####----------------]".
    std::string ProgressText() const;

private:
    const Library& m_library;
    std::string m_path;
    WaveFile m_wave;
    std::string m_device;
    bool m_hasDevice;
    std::chrono::steady_clock::time_point m_started;
};

// The line that says a file to play is an unfinished recording, of which
// only the declared part plays; nothing for any other file.
void WarnOfUnfinished(StatusLine& line, const std::string& path, const WaveFile& wave);

} // namespace cli
