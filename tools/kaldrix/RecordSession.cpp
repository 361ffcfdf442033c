// SPDX-License-Identifier: MIT
#include "RecordSession.h"
#include "AudioDevices.h"
#include "Console.h"
#include "Failure.h"
#include "FileAccess.h"
#include "RecordingRepair.h"
#include "StatusLine.h"

#include <cstdio>

namespace cli {

RecordSession::RecordSession(const Library& library, std::string path)
    : m_library(library), m_path(std::move(path)), m_meter(m_path) {
    const AudioDevices devices = ListAudioDevices();
    m_device = RecordDevice(devices);
    m_hasDevice = !devices.inputs.empty();
}

RecordSession::~RecordSession() {
    if (m_recording)
        m_library.KxStopRecFile();
}

void RecordSession::Start() {
    const bool existed = PrepareRecordingTarget(m_path);

    int result;
    {
        StopRequestShield shield;
        result = m_library.KxStartRecFile(m_path.c_str());
    }
    if (result == 1) {
        m_recording = true;
        m_started = std::chrono::steady_clock::now();
        return;
    }
    // A failed start leaves the library's recording flag set until a stop,
    // which also closes the file. After a device failure the file holds only
    // the library's empty header; after a file failure it is gone only if
    // the host's check created it.
    m_library.KxStopRecFile();
    if (result == 0 || !existed)
        std::remove(m_path.c_str());
    if (result == -1)
        throw Failure(kCannotCreate, "the library cannot create " + m_path);
    throw Failure(kNoDevice, "cannot open a recording device for 8000 Hz 16-bit mono" +
                                 std::string(m_hasDevice ? " on " : ": ") + m_device);
}

WaveFile RecordSession::Stop() {
    m_recording = false;
    const int result = m_library.KxStopRecFile();
    if (result != 1)
        throw Failure(kFailed, "the library could not complete " + m_path +
                                   " (KxStopRecFile answered " + std::to_string(result) + ")");
    return InspectWave(m_path);
}

double RecordSession::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
}

double RecordSession::RecordedSeconds() const {
    const uint64_t size = m_meter.FileSize();
    return size > kRecordingHeaderSize ? double(size - kRecordingHeaderSize) / 16000.0 : 0.0;
}

std::string RecordSession::ProgressText(bool withLevel) const {
    std::string text = FormatClock(Elapsed()) + "  " + FormatBytes(m_meter.FileSize());
    if (withLevel)
        text += " " + MeterText(m_meter.PeakDecibels());
    return text;
}

std::string RecordingSummary(const std::string& path, const WaveFile& wave) {
    return "recorded " + path + ": " + FormatClock(wave.Seconds()) + ", " +
           std::to_string(wave.dataSize) + " bytes of sound";
}

} // namespace cli
