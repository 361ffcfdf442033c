// SPDX-License-Identifier: MIT
// Starts on paths that are not plain files: FIFOs with and without a peer,
// devices, folders, and a huge sparse file. Each start answers at once
// (a generous bound here) with the right result, so that no start holds the
// exports' lock and with it every stop.
#include "kaldrix.h"
#include "log/LogText.h"
#include "platform/platform.h"
#include "support/LogCapture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Start = int (*)(const char*);

enum class Peer { None, Reader };

struct PathCase {
    const char* name;
    Start start;
    std::string (*make)(const kxtest::TempDir&); // the path to start on
    Peer peer;
    int result;
};

std::string Fifo(const kxtest::TempDir& dir) {
    const std::string path = dir.File("fifo");
    return mkfifo(path.c_str(), 0600) == 0 ? path : "";
}
std::string DevZero(const kxtest::TempDir&) { return "/dev/zero"; }
std::string DevNull(const kxtest::TempDir&) { return "/dev/null"; }
std::string Folder(const kxtest::TempDir& dir) { return dir.path(); }

// A RIFF WAVE header and then 4 GiB of zeros, almost all of it a hole: the
// search for the format chunk meets nothing but empty 8-byte chunks.
std::string SparseWave(const kxtest::TempDir& dir) {
    const std::string path = dir.File("sparse.wav");
    kxtest::WriteFile(path, {'R', 'I', 'F', 'F', 0xF8, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E'});
    return truncate(path.c_str(), int64_t(1) << 32) == 0 ? path : "";
}

// Reads a FIFO until its writer closes it.
class FifoReader {
public:
    explicit FifoReader(const std::string& path) : m_fd(open(path.c_str(), O_RDONLY | O_NONBLOCK)) {
        m_thread = std::thread([this] {
            char buffer[4096];
            while (!m_stop.load()) {
                if (read(m_fd, buffer, sizeof buffer) <= 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~FifoReader() {
        m_stop.store(true);
        m_thread.join();
        close(m_fd);
    }

private:
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

const PathCase kCases[] = {
    {"play: FIFO without writer", KxStartPlayFile, Fifo, Peer::None, -1},
    {"play: /dev/zero", KxStartPlayFile, DevZero, Peer::None, -1},
    {"play: folder", KxStartPlayFile, Folder, Peer::None, -1},
    {"play: sparse 4 GiB of zeros", KxStartPlayFile, SparseWave, Peer::None, -1},
    {"record: FIFO without reader", KxStartRecFile, Fifo, Peer::None, -1},
    {"record: FIFO with reader", KxStartRecFile, Fifo, Peer::Reader, 1},
    {"record: /dev/null", KxStartRecFile, DevNull, Peer::None, 1},
    {"record: folder", KxStartRecFile, Folder, Peer::None, -1},
};

TEST(SpecialPaths, EveryStartAnswersAtOnce) {
    for (const PathCase& c : kCases) {
        kxtest::LogCapture log;
        kxtest::TempDir dir;
        const std::string path = c.make(dir);
        ASSERT_FALSE(path.empty()) << c.name;
        std::unique_ptr<FifoReader> reader;
        if (c.peer == Peer::Reader)
            reader = std::make_unique<FifoReader>(path);

        auto started = std::async(std::launch::async, c.start, path.c_str());
        if (started.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << c.name << ": the start did not answer within 5 s";
            // Lets a start that waits in a FIFO's open go on.
            const int peer = open(path.c_str(), O_RDWR | O_NONBLOCK);
            started.wait();
            if (peer >= 0)
                close(peer);
        }
        EXPECT_EQ(started.get(), c.result) << c.name;

        const std::vector<std::string> records = log.Records();
        if (c.start == KxStartRecFile) {
            if (c.result != 1) {
                EXPECT_EQ(records, std::vector<std::string>{LogText::kRecordFileOpenError})
                    << c.name;
            } else {
                // Past the first update of the sizes, which a target that
                // cannot seek skips without a failure.
                Sleep(1300);
                const std::vector<std::string> later = log.Records();
                EXPECT_EQ(std::count(later.begin(), later.end(), LogText::kRecordFileWriteError), 0)
                    << c.name;
            }
            KxStopRecFile();
        } else {
            // The file-open record names the file; its error number varies.
            char expected[512];
            std::snprintf(expected, sizeof expected, LogText::kPlayFileOpenError, path.c_str(), 0);
            const std::string prefix(expected, std::strlen(expected) - 1);
            ASSERT_EQ(records.size(), 1u) << c.name;
            EXPECT_EQ(records[0].rfind(prefix, 0), 0u) << c.name << ": " << records[0];
        }
    }
    EXPECT_EQ(KxRecordStatus(), 0);
    EXPECT_EQ(KxPlayStatus(), 0);
}

} // namespace
