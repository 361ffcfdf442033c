#include "platform/posix/audio/AlsaWaveInBackend.h"
#include "platform/posix/audio/AlsaActivity.h"

#include <algorithm>
#include <cstring>

namespace {

// Without a wake-up descriptor the reader looks for commands this often; a
// PCM that failed beyond recovery is tried again after this long.
constexpr int kFallbackPollMs = 20;
constexpr int kRetryMs = 200;
// Beyond a period's time, for the reader to append the period.
constexpr std::chrono::milliseconds kAppendSlack(2);
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
    m_reader.Close(m_mutex, [this] { m_wakeup.Signal(); });
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
    m_wakeup.Signal();
}

void AlsaWaveInBackend::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        ++m_generation;
        m_ringStart = m_ringBytes = 0;
    }
    m_wakeup.Signal();
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
    // The bytes come a period at a time: the next one a period after the
    // last, or a period from now when the reader is late.
    const size_t missing = bytes - std::min(bytes, m_ringBytes);
    const size_t periodBytes = m_pcm->periodFrames() * m_frameBytes;
    const auto periods = static_cast<long long>((missing + periodBytes - 1) / periodBytes);
    const std::chrono::microseconds period(static_cast<long long>(periodBytes) * 1000000 /
                                           m_byteRate);
    const Clock::time_point base = m_lastAppend + period > now ? m_lastAppend : now;
    return std::max<Clock::time_point>(now + kAppendSlack, base + periods * period + kAppendSlack);
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
        const int noLimit = m_wakeup.fd() < 0 ? kFallbackPollMs : -1;
        if (!m_running) {
            Sleep(lock, false, noLimit);
            continue;
        }
        lock.unlock();
        if (const int stall = AlsaActivity::captureStallMs.exchange(0))
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));
        const long frames = m_pcm->Read(period.data(), m_pcm->periodFrames());
        lock.lock();
        if (frames == 0) {
            Sleep(lock, true, noLimit); // until the next period
        } else if (frames < 0) {
            // The PCM failed beyond recovery: it is tried again after a pause.
            restart = true;
            Sleep(lock, false, kRetryMs);
        } else if (seen == m_generation) {
            Append(period.data(), static_cast<size_t>(frames) * m_frameBytes);
            m_lastAppend = Clock::now();
            m_filled.notify_all();
        }
    }
}

// Polls the PCM (when `forPcm`) and the wake-up descriptor without the lock.
void AlsaWaveInBackend::Sleep(std::unique_lock<std::mutex>& lock, bool forPcm, int timeoutMs) {
    lock.unlock();
    m_pcm->Poll(m_wakeup.fd(), forPcm, timeoutMs);
    m_wakeup.Clear();
    lock.lock();
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
