// SPDX-License-Identifier: MIT
#include "PlaySession.h"
#include "AudioDevices.h"
#include "Console.h"
#include "Failure.h"
#include "FormatQuery.h"
#include "StatusLine.h"

#include <algorithm>

namespace cli {

namespace {

// After the data the library holds the last block for 2 s, and it may wait
// up to 3 s for a block it has queued; beyond that and a generous margin the
// playback is not going to end by itself.
constexpr double kEndAllowance = 15.0;

} // namespace

PlaySession::PlaySession(const Library& library, std::string path)
    : m_library(library), m_path(std::move(path)), m_wave(InspectWave(m_path)) {
    const AudioDevices devices = ListAudioDevices();
    m_device = PlayDevice(devices);
    m_hasDevice = !devices.outputs.empty();
}

void PlaySession::Start() {
    int result;
    {
        StopRequestShield shield;
        result = m_library.KxStartPlayFile(m_path.c_str());
    }
    // The library answers -1 for a device that is missing and for one that
    // refuses the format alike; the device itself tells the two apart.
    if (result != 1 && m_hasDevice && DeviceRefusesFormat(AudioDevices::kPlayIndex, m_wave))
        throw Failure(kFormatRefused, m_device + " does not play the format of " + m_path + " (" +
                                          DescribeFormat(m_wave.format) +
                                          "); convert it to PCM, for example 16-bit");
    if (result != 1) {
        const std::string why = DeviceFailure(false);
        throw Failure(kNoDevice, "cannot open a playback device for " + m_path + " (" +
                                     DescribeFormat(m_wave.format) + ")" +
                                     (m_hasDevice ? " on " : ": ") + m_device +
                                     (why.empty() ? "" : ": " + why));
    }
    m_started = std::chrono::steady_clock::now();
}

bool PlaySession::Playing() const { return m_library.KxPlayStatus() == 1; }

bool PlaySession::Overdue() const {
    // A device may pace by the byte rate or by the sample rate; a header
    // where they disagree gets the longer of the two.
    const WaveFormat& f = m_wave.format;
    const double byFrames = double(m_wave.dataPresent) / (double(f.samplesPerSec) * f.blockAlign);
    return Elapsed() > std::max(m_wave.Seconds(), byFrames) + kEndAllowance;
}

void PlaySession::Stop() {
    const int result = m_library.KxStopPlayFile();
    if (result != 0)
        throw Failure(kFailed, "the library could not stop playing " + m_path +
                                   " (KxStopPlayFile answered " + std::to_string(result) + ")");
}

double PlaySession::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
}

std::string PlaySession::ProgressText() const {
    const double total = m_wave.Seconds();
    const double elapsed = std::min(Elapsed(), total);
    return FormatClock(elapsed) + " / " + FormatClock(total) + " " +
           Bar(total > 0 ? elapsed / total : 1.0, 20);
}

void WarnOfUnfinished(StatusLine& line, const std::string& path, const WaveFile& wave) {
    if (!wave.unfinished.empty())
        line.Print("warning: " + path + " is " + wave.unfinished + "; playing what it declares");
}

} // namespace cli
