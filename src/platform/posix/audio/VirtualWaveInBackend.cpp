#include "platform/posix/audio/VirtualWaveInBackend.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr double kToneHz = 440.0;
constexpr double kPi = 3.14159265358979323846;
} // namespace

VirtualWaveInBackend::VirtualWaveInBackend(const WAVEFORMATEX& format, const char* sourcePath)
    : m_format(format), m_fromFile(sourcePath != nullptr),
      m_clock(format.nSamplesPerSec * format.nBlockAlign, format.nBlockAlign) {
    if (sourcePath)
        m_file = ::open(sourcePath, O_RDONLY | O_CLOEXEC);
}

VirtualWaveInBackend::~VirtualWaveInBackend() {
    if (m_file >= 0)
        ::close(m_file);
}

void VirtualWaveInBackend::Start() {
    m_running = true;
    m_clock.Restart();
    m_readSinceStart = 0;
}

void VirtualWaveInBackend::Stop() { m_running = false; }

size_t VirtualWaveInBackend::Available() {
    if (!m_running)
        return 0;
    return static_cast<size_t>(m_clock.DueBytes(Clock::now()) - m_readSinceStart);
}

WaveInBackend::Clock::time_point VirtualWaveInBackend::ReadyAt(size_t bytes) {
    return m_clock.WhenDue(m_readSinceStart + bytes);
}

void VirtualWaveInBackend::Read(char* data, size_t bytes) {
    if (m_fromFile)
        ReadSource(data, bytes);
    else
        Tone(data, bytes);
    m_readSinceStart += bytes;
}

void VirtualWaveInBackend::ReadSource(char* data, size_t bytes) {
    size_t done = 0;
    while (done < bytes && m_file >= 0) {
        const ssize_t got = ::read(m_file, data + done, bytes - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(m_file);
            m_file = -1;
            break;
        }
        done += static_cast<size_t>(got);
    }
    Silence(data + done, bytes - done);
}

void VirtualWaveInBackend::Silence(char* data, size_t bytes) const {
    std::memset(data, m_format.wBitsPerSample == 8 ? 0x80 : 0, bytes);
}

void VirtualWaveInBackend::Tone(char* data, size_t bytes) {
    const size_t frames = bytes / m_format.nBlockAlign;
    char* next = data;
    for (size_t i = 0; i < frames; ++i, ++m_toneFrame) {
        const double phase = 2.0 * kPi * kToneHz * static_cast<double>(m_toneFrame) /
                             static_cast<double>(m_format.nSamplesPerSec);
        const double level = std::sin(phase);
        for (WORD channel = 0; channel < m_format.nChannels; ++channel) {
            if (m_format.wBitsPerSample == 8) {
                *next++ = static_cast<char>(static_cast<uint8_t>(128 + std::lround(level * 32)));
            } else {
                const auto sample =
                    static_cast<uint16_t>(static_cast<int16_t>(std::lround(level * 8192)));
                *next++ = static_cast<char>(sample & 0xFF);
                *next++ = static_cast<char>(sample >> 8);
            }
        }
    }
}
