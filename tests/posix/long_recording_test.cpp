// SPDX-License-Identifier: MIT
// A ten-hour recording on the virtual input run a thousand times faster than
// the real clock: it completes with a valid file of the full length, and the
// process's memory stays flat from the first minute to the last.
#include "kaldrix.h"
#include "support/TestSupport.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint64_t kBytesPerSecond = 16000; // 8000 Hz, 16-bit mono
constexpr uint64_t kHeaderBytes = 44;

uint64_t FileSize(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

// Resident memory of the process, in bytes.
uint64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    uint64_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Waits until the recording holds `seconds` of sound; false after `limit`.
bool WaitForRecorded(const std::string& path, uint64_t seconds, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (FileSize(path) < kHeaderBytes + seconds * kBytesPerSecond) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(LongRecordingRealTime, TenHoursAtAThousandTimesCompleteWithFlatMemory) {
    kxtest::TempDir dir;
    kxtest::ScopedEnv speed("KALDRIX_VIRTUAL_SPEED", "1000");
    const std::string path = dir.File("ten-hours.wav");
    ASSERT_EQ(KxStartRecFile(path.c_str()), 1);
    ASSERT_TRUE(WaitForRecorded(path, 60, std::chrono::seconds(30))) << FileSize(path);
    const uint64_t afterFirstMinute = ResidentBytes();
    const uint64_t tenHours = 10 * 3600;
    // 36 s at full pace; the limit leaves room for a busy machine.
    const bool complete = WaitForRecorded(path, tenHours, std::chrono::seconds(150));
    const uint64_t atTheEnd = ResidentBytes();
    ASSERT_EQ(KxStopRecFile(), 1);
    ASSERT_TRUE(complete) << FileSize(path) << " bytes";
    EXPECT_LE(atTheEnd, afterFirstMinute + 64 * 1024)
        << "after the first minute " << afterFirstMinute << ", at the end " << atTheEnd;

    const uint64_t size = FileSize(path);
    const uint64_t data = size - kHeaderBytes;
    EXPECT_GE(data, tenHours * kBytesPerSecond);
    EXPECT_EQ(data % 960, 0u);
    std::ifstream file(path, std::ios::binary);
    kxtest::Bytes header(kHeaderBytes);
    file.read(reinterpret_cast<char*>(header.data()), kHeaderBytes);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "RIFF");
    EXPECT_EQ(kxtest::ReadLe32(header, 4), 36 + data);
    EXPECT_EQ(std::string(header.begin() + 8, header.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(std::string(header.begin() + 36, header.begin() + 40), "data");
    EXPECT_EQ(kxtest::ReadLe32(header, 40), data);
}

} // namespace
