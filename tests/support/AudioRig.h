// SPDX-License-Identifier: MIT
// Helpers of the suites that run against the private PulseAudio server of
// scripts/audio-rig.sh (its environment exported): whether it is there, its
// two command-line clients, ALSA pointed at no device, and stderr kept.
#pragma once

#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kxtest {

// Whether PULSE_SERVER names a server's socket that answers.
bool AudioRigRunning();

// A program run with its standard output sent to a file (and its standard
// error to /dev/null), stopped with SIGTERM when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool started() const { return m_pid > 0; }
    // Stops the program and waits for it; its exit status, -1 if none.
    int Stop();

private:
    pid_t m_pid = -1;
};

// parec on the default sink's monitor (vsink.monitor): what is played, as
// 8000 Hz 16-bit mono, into a file.
class SinkRecorder {
public:
    explicit SinkRecorder(const std::string& path);
    // False when parec delivered nothing within a few seconds.
    bool WaitStreaming();
    // Stops parec; what it captured.
    Bytes Stop();

private:
    std::string m_path;
    ChildProcess m_parec;
};

// pacat playing `path`'s raw 8000 Hz 16-bit mono bytes into the sink whose
// monitor is the default source (feed), in real time.
class FeedPlayer {
public:
    explicit FeedPlayer(const std::string& path);
    bool started() const { return m_pacat.started(); }

private:
    ChildProcess m_pacat;
};

// Points ALSA at a configuration whose default PCM is a card that does not
// exist and that defines nothing else, for the life of the object.
class AlsaWithoutDevices {
public:
    AlsaWithoutDevices();

private:
    TempDir m_dir;
    std::unique_ptr<ScopedEnv> m_config;
};

// Sends this process's standard error to a file for the life of the object.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Everything written to standard error so far.
    std::string Text() const;

private:
    TempDir m_dir;
    int m_saved = -1;
};

// Where `needle` first occurs in `haystack`, or std::string::npos.
size_t FindBytes(const Bytes& haystack, const Bytes& needle, size_t from = 0);

} // namespace kxtest
