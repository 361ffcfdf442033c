#include "platform/posix/audio/VirtualWaveOut.h"
#include "platform/posix/audio/PlayableFormat.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <unistd.h>

namespace {

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// Nothing runs in the background: the position is worked out from the clock
// whenever it is asked for, and the bytes passed since are written out then.
class VirtualWaveOutStream : public WaveOutStream {
public:
    VirtualWaveOutStream(DWORD byteRate, WORD blockAlign, int dump)
        : m_byteRate(byteRate), m_blockAlign(blockAlign), m_dump(dump) {}

    ~VirtualWaveOutStream() override {
        if (m_dump >= 0)
            ::close(m_dump);
    }

    void Play(const char* data, DWORD size) override {
        CatchUp();
        if (size == 0)
            return;
        if (m_played == m_queued) { // idle until now: the clock starts here
            m_start = Clock::now();
            m_startBytes = m_played;
        }
        m_pending.push_back(Chunk{data, size});
        m_queued += size;
    }

    ULONGLONG PlayedBytes() override {
        CatchUp();
        return m_played;
    }

    void Stop() override {
        CatchUp();
        m_pending.clear();
        m_frontOffset = 0;
        m_played = m_queued = 0;
    }

private:
    using Clock = std::chrono::steady_clock;

    struct Chunk {
        const char* data;
        DWORD size;
    };

    // Whole frames count as played once their time has passed since the start;
    // the end of the queued bytes always counts in full.
    void CatchUp() {
        if (m_played == m_queued)
            return;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_start).count();
        ULONGLONG due = static_cast<ULONGLONG>(elapsed) * m_byteRate / 1000000;
        due -= due % m_blockAlign;
        Emit(std::min(m_startBytes + due, m_queued) - m_played);
    }

    void Emit(ULONGLONG count) {
        while (count > 0) {
            const Chunk& chunk = m_pending.front();
            const DWORD take =
                static_cast<DWORD>(std::min<ULONGLONG>(count, chunk.size - m_frontOffset));
            if (m_dump >= 0)
                WriteAll(m_dump, chunk.data + m_frontOffset, take);
            m_frontOffset += take;
            m_played += take;
            count -= take;
            if (m_frontOffset == chunk.size) {
                m_pending.pop_front();
                m_frontOffset = 0;
            }
        }
    }

    const DWORD m_byteRate;
    const WORD m_blockAlign;
    const int m_dump; // -1: no file
    std::deque<Chunk> m_pending;
    DWORD m_frontOffset = 0; // bytes of the first pending chunk already played
    ULONGLONG m_played = 0;
    ULONGLONG m_queued = 0;
    Clock::time_point m_start;
    ULONGLONG m_startBytes = 0; // bytes played before m_start
};

} // namespace

MMRESULT VirtualWaveOut::CheckFormat(const WAVEFORMATEX& format) const {
    return CheckPlayableFormat(format);
}

MMRESULT VirtualWaveOut::Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutStream>* stream) {
    int dump = -1;
    const char* path = std::getenv("KALDRIX_VIRTUAL_OUT");
    if (path && *path) {
        dump = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (dump < 0)
            return MMSYSERR_ERROR;
    }
    stream->reset(new VirtualWaveOutStream(PlaybackByteRate(format), format.nBlockAlign, dump));
    return MMSYSERR_NOERROR;
}
