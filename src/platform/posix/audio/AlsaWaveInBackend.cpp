#include "platform/posix/audio/AlsaWaveInBackend.h"
#include "platform/posix/audio/AlsaActivity.h"

#include <algorithm>
#include <cstring>

namespace {

// The reader sleeps no longer than this, so that a start, a stop or the
// close reaches it promptly; the stream's worker looks again as often.
constexpr int kPollMs = 20;
constexpr size_t kRingSeconds = 2;
// How long Read waits for bytes that the reader is late with.
constexpr std::chrono::milliseconds kLateLimit(500);

} // namespace

AlsaWaveInBackend::AlsaWaveInBackend(std::unique_ptr<AlsaPcm> pcm, char silence)
    : m_pcm(std::move(pcm)), m_frameBytes(m_pcm->frameBytes()),
      m_byteRate(m_pcm->rate() * m_frameBytes), m_silence(silence),
      m_ring(
          std::max<size_t>(m_byteRate * kRingSeconds, 2 * m_pcm->periodFrames() * m_frameBytes)) {
    m_reader.Start("kx-in-alsa-pcm", [this] { Run(); });
}

AlsaWaveInBackend::~AlsaWaveInBackend() {
    m_reader.Close(m_mutex, [this] { m_wake.notify_all(); });
    m_filled.notify_all();
}

// The device's clock counts from here: what came before is not recorded.
void AlsaWaveInBackend::Start() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = true;
        ++m_generation;
        m_ringStart = m_ringBytes = 0;
    }
    m_wake.notify_all();
}

void AlsaWaveInBackend::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        ++m_generation;
        m_ringStart = m_ringBytes = 0;
    }
    m_wake.notify_all();
    m_filled.notify_all();
}

size_t AlsaWaveInBackend::Available() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running ? WholeFrames(m_ringBytes) : 0;
}

WaveInBackend::Clock::time_point AlsaWaveInBackend::ReadyAt(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (m_running && m_ringBytes >= bytes)
        return now;
    const size_t missing = bytes - std::min(bytes, m_ringBytes);
    const std::chrono::microseconds due(static_cast<long long>(missing) * 1000000 / m_byteRate);
    return now + std::max<Clock::duration>(due, std::chrono::milliseconds(kPollMs));
}

void AlsaWaveInBackend::Read(char* data, size_t bytes) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_filled.wait_for(lock, kLateLimit,
                      [&] { return m_ringBytes >= bytes || !m_running || m_reader.Closing(); });
    const size_t take = std::min(bytes, m_ringBytes);
    for (size_t done = 0; done < take;) {
        const size_t run = std::min(take - done, m_ring.size() - m_ringStart);
        std::memcpy(data + done, m_ring.data() + m_ringStart, run);
        done += run;
        m_ringStart = (m_ringStart + run) % m_ring.size();
    }
    m_ringBytes -= take;
    std::memset(data + take, m_silence, bytes - take);
}

void AlsaWaveInBackend::Run() {
    CountedAlsaThread counted;
    std::vector<char> period(m_pcm->periodFrames() * m_frameBytes);
    std::unique_lock<std::mutex> lock(m_mutex);
    unsigned seen = m_generation;
    bool restart = false;
    while (!m_reader.Closing()) {
        if (seen != m_generation || restart) {
            // A start or a stop since the last look: the PCM drops what it
            // holds and, when capturing, starts afresh.
            m_pcm->Drop();
            if (m_running)
                m_pcm->Start();
            seen = m_generation;
            restart = false;
        }
        if (!m_running) {
            m_wake.wait(lock);
            continue;
        }
        lock.unlock();
        if (const int stall = AlsaActivity::captureStallMs.exchange(0))
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));
        const long frames = m_pcm->Read(period.data(), m_pcm->periodFrames());
        if (frames == 0)
            m_pcm->Wait(kPollMs);
        lock.lock();
        if (frames < 0) {
            // The PCM failed beyond recovery: it is tried again after a pause.
            restart = true;
            m_wake.wait_for(lock, std::chrono::milliseconds(kPollMs));
        } else if (frames > 0 && seen == m_generation) {
            Append(period.data(), static_cast<size_t>(frames) * m_frameBytes);
            m_filled.notify_all();
        }
    }
}

// Whole frames, as many as fit in the ring.
void AlsaWaveInBackend::Append(const char* data, size_t bytes) {
    const size_t fits = std::min(bytes, WholeFrames(m_ring.size() - m_ringBytes));
    size_t end = (m_ringStart + m_ringBytes) % m_ring.size();
    for (size_t done = 0; done < fits;) {
        const size_t run = std::min(fits - done, m_ring.size() - end);
        std::memcpy(m_ring.data() + end, data + done, run);
        done += run;
        end = (end + run) % m_ring.size();
    }
    m_ringBytes += fits;
}
