// The library's own threads while it streams on the virtual devices: each
// carries a name that says whose it is.
#include "kaldrix.h"
#include "support/PlaybackSupport.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using kxtest::Bytes;
using Names = std::vector<std::string>;

// The names of this process's threads now.
Names ThreadNames() {
    Names names;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return names;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(tasks);
    return names;
}

bool HasThread(const std::string& name) {
    const Names names = ThreadNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

struct Job {
    const char* what;
    bool (*start)(const std::string& folder);
    void (*stop)();
    Names threads;
};

bool StartPlaying(const std::string& folder) {
    const std::string path = folder + "/tone.wav";
    kxtest::WriteFile(path, kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(32000)));
    return KxStartPlayFile(path.c_str()) == 1;
}

bool StartRecording(const std::string& folder) {
    return KxStartRecFile((folder + "/rec.wav").c_str()) == 1;
}

const Job kJobs[] = {
    {"play", StartPlaying, [] { KxStopPlayFile(); }, {"kx-play"}},
    {"record", StartRecording, [] { KxStopRecFile(); }, {"kx-capture", "kx-in-virtual"}},
};

TEST(StreamThreads, EveryThreadOfAJobCarriesItsName) {
    for (const Job& job : kJobs) {
        SCOPED_TRACE(job.what);
        kxtest::TempDir dir;
        ASSERT_TRUE(job.start(dir.path()));
        Sleep(300);
        for (const std::string& name : job.threads)
            EXPECT_TRUE(HasThread(name)) << name;
        job.stop();
        Sleep(100);
        for (const std::string& name : job.threads)
            EXPECT_FALSE(HasThread(name)) << name << " after the stop";
    }
}

} // namespace
