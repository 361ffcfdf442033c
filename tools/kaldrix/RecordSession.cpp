// SPDX-License-Identifier: MIT
#include "RecordSession.h"
#include "AudioDevices.h"
#include "Console.h"
#include "Failure.h"
#include "FileAccess.h"
#include "RecordingRepair.h"
#include "StatusLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cli {

RecordSession::RecordSession(const Library& library, std::string path,
                             const RecordingHeader::Format& format)
    : m_library(library), m_path(std::move(path)), m_format(format), m_meter(m_path, format) {
    const AudioDevices devices = ListAudioDevices();
    m_device = RecordDevice(devices);
    m_hasDevice = !devices.inputs.empty();
}

RecordSession::~RecordSession() {
    if (m_recording)
        m_library.KxStopRecFile();
}

void RecordSession::Start() {
    const bool customFormat =
        m_format.samplesPerSec != RecordingHeader::kDefaultFormat.samplesPerSec ||
        m_format.channels != RecordingHeader::kDefaultFormat.channels ||
        m_format.bitsPerSample != RecordingHeader::kDefaultFormat.bitsPerSample;
    if (customFormat && !m_library.KxStartRecFileFormat)
        throw Failure(kNoLibrary, std::string(kLibraryName) +
                                      " is too old for -r, -c and -f: it records " +
                                      DescribeRecordingFormat(RecordingHeader::kDefaultFormat) +
                                      " only (KxStartRecFileFormat came with 1.1)");
    const bool existed = PrepareRecordingTarget(m_path);

    int result;
    {
        StopRequestShield shield;
        result = customFormat
                     ? m_library.KxStartRecFileFormat(m_path.c_str(), int(m_format.samplesPerSec),
                                                      m_format.channels, m_format.bitsPerSample)
                     : m_library.KxStartRecFile(m_path.c_str());
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
    const std::string why = DeviceFailure(true);
    throw Failure(kNoDevice, "cannot open a recording device for " +
                                 DescribeRecordingFormat(m_format) +
                                 std::string(m_hasDevice ? " on " : ": ") + m_device +
                                 (why.empty() ? "" : ": " + why));
}

WaveFile RecordSession::Stop(uint64_t frames) {
    m_recording = false;
    const int result = m_library.KxStopRecFile();
    if (result != 1)
        throw Failure(kFailed, "the library could not complete " + m_path +
                                   " (KxStopRecFile answered " + std::to_string(result) + ")");
    // The library appends whole buffers, so the file may hold more than
    // asked for: the rest is cut off and both sizes follow.
    const WaveFile wave = InspectWave(m_path);
    const uint64_t wanted = frames * m_format.BlockAlign();
    if (wave.dataSize <= wanted)
        return wave;
    DeclareData(m_path, wave, static_cast<uint32_t>(wanted), true);
    return InspectWave(m_path);
}

double RecordSession::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
}

uint64_t RecordSession::RecordedFrames() const {
    const uint64_t size = m_meter.FileSize();
    const size_t header = RecordingHeader::Header(m_format).Size();
    return size > header ? (size - header) / m_format.BlockAlign() : 0;
}

std::string RecordSession::ProgressText(bool withLevel) const {
    std::string text = FormatClock(Elapsed()) + "  " + FormatBytes(m_meter.FileSize());
    if (withLevel)
        text += " " + MeterText(m_meter.PeakDecibels());
    return text;
}

uint64_t RecordedFramesFor(double seconds, const RecordingHeader::Format& format) {
    const uint64_t most = RecordingHeader::kLargestData / format.BlockAlign();
    return std::min<uint64_t>(static_cast<uint64_t>(std::llround(seconds * format.samplesPerSec)),
                              most);
}

std::string DescribeRecordingFormat(const RecordingHeader::Format& format) {
    return std::to_string(format.samplesPerSec) + " Hz " + std::to_string(format.bitsPerSample) +
           "-bit " +
           (format.channels == 1   ? std::string("mono")
            : format.channels == 2 ? std::string("stereo")
                                   : std::to_string(format.channels) + " channels");
}

std::string RecordingSummary(const std::string& path, const WaveFile& wave) {
    return "recorded " + path + ": " + FormatClock(wave.Seconds()) + ", " +
           std::to_string(wave.dataSize) + " bytes of sound";
}

} // namespace cli
