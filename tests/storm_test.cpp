// SPDX-License-Identifier: MIT
// The storm: three host threads call the six functions in random order with
// random pauses (0-300 ms) on the virtual devices, for KALDRIX_STORM_SECONDS
// (20 by default). The seed is printed and KALDRIX_STORM_SEED replays it.
// Nothing may crash, race, leak or hang; every recording is complete, nothing
// but the files' data is played, no call ends in the export guard, and both
// statuses are 0 after the final stops.
#include "kaldrix.h"
#include "log/LogText.h"
#include "winapi/testing/TestInterface.h"
#include "support/Leftovers.h"
#include "support/PlaybackSupport.h"

#include <condition_variable>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <thread>

namespace {

using kxtest::Bytes;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    const char* value = getenv(name);
    return value && *value ? std::stoul(value) : fallback;
}

// Aborts the process, with the seed, if the storm has not ended in time.
class Watchdog {
public:
    Watchdog(unsigned long seconds, unsigned long seed)
        : m_thread([this, seconds, seed] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, std::chrono::seconds(seconds),
                                   [this] { return m_over; })) {
                  fprintf(stderr, "storm hung; replay with KALDRIX_STORM_SEED=%lu\n", seed);
                  abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_over = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_over = false;
    std::thread m_thread;
};

TEST(StormThreads, ThreeHostsCallingAtRandomLeaveValidFilesAndNothingBehind) {
    const unsigned long seed = EnvNumber("KALDRIX_STORM_SEED", 20261207);
    const unsigned long seconds = EnvNumber("KALDRIX_STORM_SECONDS", 20);
    printf("storm: seed %lu, %lu s (KALDRIX_STORM_SEED, KALDRIX_STORM_SECONDS)\n", seed, seconds);
    Watchdog watchdog(seconds + 90, seed);

    kxtest::TempDir dir;
    const Bytes input = kxtest::Pattern(16000 * 30, 7);
    const Bytes format = kxtest::PcmFormat(2, 48000, 16);
    const std::vector<Bytes> datas = {kxtest::Pattern(40000, 8), kxtest::Pattern(384000, 9)};
    kxtest::WriteFile(dir.File("in.raw"), input);
    for (size_t i = 0; i < datas.size(); ++i)
        kxtest::WriteFile(dir.File(std::to_string(i) + ".wav"), kxtest::WaveFile(format, datas[i]));
    kxtest::ScopedEnv audio("KALDRIX_AUDIO", "virtual");
    kxtest::ScopedEnv in("KALDRIX_VIRTUAL_IN", dir.File("in.raw"));
    kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    kxtest::LogCapture log;
    const kxtest::Holdings before = kxtest::CurrentHoldings();

    std::mutex mutex;
    std::vector<std::string> recordings; // started with 1
    std::vector<std::string> maybe;      // started with 0: a file only if a device step failed
    size_t playable = 0;                 // bytes of the files whose start answered 1
    unsigned calls = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto host = [&](unsigned index) {
        std::mt19937 random(static_cast<uint32_t>(seed * 3 + index));
        for (unsigned n = 0; std::chrono::steady_clock::now() < end; ++n) {
            const std::string name =
                dir.File("rec" + std::to_string(index) + "-" + std::to_string(n) + ".wav");
            const size_t file = random() % datas.size();
            const unsigned call = random() % 6;
            int result = 0;
            switch (call) {
            case 0:
                result = KxStartRecFile(name.c_str());
                break;
            case 1:
                KxStopRecFile();
                break;
            case 2:
                result = KxStartPlayFile(dir.File(std::to_string(file) + ".wav").c_str());
                break;
            case 3:
                KxStopPlayFile();
                break;
            case 4:
                KxPlayStatus();
                break;
            default:
                KxRecordStatus();
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++calls;
                if (call == 0 && kxtest::FileExists(name))
                    (result == 1 ? recordings : maybe).push_back(name);
                if (call == 2 && result == 1)
                    playable += datas[file].size();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 301));
        }
    };
    std::thread hosts[3];
    for (unsigned i = 0; i < 3; ++i)
        hosts[i] = std::thread(host, i);
    for (std::thread& thread : hosts)
        thread.join();
    KxStopRecFile();
    KxStopPlayFile();

    SCOPED_TRACE("replay with KALDRIX_STORM_SEED=" + std::to_string(seed));
    EXPECT_EQ(KxPlayStatus(), 0);
    EXPECT_EQ(KxRecordStatus(), 0);
    EXPECT_EQ(kxtest::Leftovers(before, {}), "");
    recordings.insert(recordings.end(), maybe.begin(), maybe.end());
    for (const std::string& recording : recordings)
        EXPECT_EQ(kxtest::RecordingFault(recording, input), "");
    const Bytes played = kxtest::FileExists(dir.File("played.raw"))
                             ? kxtest::ReadFile(dir.File("played.raw"))
                             : Bytes{};
    EXPECT_LE(played.size(), playable) << "more played than the started files hold";
    EXPECT_EQ(log.Count("\nException"), 0) << "a call ended in the export guard";
    printf("storm: %u calls, %zu recordings, %zu bytes played\n", calls, recordings.size(),
           played.size());
}

} // namespace
