// SPDX-License-Identifier: MIT
// A host that forks while the library records or plays, and whose child then
// exits normally: the child's exit runs the library's detach, which must
// neither wait for threads the child does not have nor touch the parent's
// devices and files.
#include "kaldrix.h"
#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The leak checker's switch, present only in the address sanitizer's build.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace {

using kxtest::Bytes;

struct Exports {
    int (*startRec)(const char*);
    int (*stopRec)();
    int (*startPlay)(const char*);
    int (*playStatus)();
};

template <typename Function> Function Find(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

// The library's copy reached through dlopen, or the core linked into this
// program.
class Library {
public:
    explicit Library(bool loaded) {
        if (!loaded) {
            m_exports = {KxStartRecFile, KxStopRecFile, KxStartPlayFile, KxPlayStatus};
            return;
        }
        // The loaded copy's tables are never destroyed; after dlclose nothing
        // points at them.
        if (__lsan_disable)
            __lsan_disable();
        m_library = dlopen(KALDRIX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (__lsan_enable)
            __lsan_enable();
        if (m_library)
            m_exports = {Find<int (*)(const char*)>(m_library, "KxStartRecFile"),
                         Find<int (*)()>(m_library, "KxStopRecFile"),
                         Find<int (*)(const char*)>(m_library, "KxStartPlayFile"),
                         Find<int (*)()>(m_library, "KxPlayStatus")};
    }
    ~Library() {
        if (m_library)
            dlclose(m_library);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool ok() const {
        return m_exports.startRec && m_exports.stopRec && m_exports.startPlay &&
               m_exports.playStatus;
    }
    const Exports& operator*() const { return m_exports; }

private:
    void* m_library = nullptr;
    Exports m_exports{};
};

// Forks a child that exits at once through exit(0); true when it ended so
// within `limit`. A child still running then is killed.
bool ChildExitsNormally(std::chrono::seconds limit) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0)
        std::exit(0);
    if (child < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ForkedChildRealTimeThreads, ChildExitLeavesTheParentsEnginesAlone) {
    struct Case {
        const char* name;
        bool recording; // else playing
        bool loaded;    // through dlopen, else the linked core
    };
    const Case cases[] = {{"recording, loaded", true, true},
                          {"recording, linked", true, false},
                          {"playing, loaded", false, true},
                          {"playing, linked", false, false}};
    for (const Case& c : cases) {
        kxtest::TempDir dir;
        const Bytes input = kxtest::Pattern(16000 * 8);
        const Bytes played = kxtest::Pattern(16000 * 2, 7);
        kxtest::WriteFile(dir.File("in.raw"), input);
        kxtest::WriteFile(dir.File("play.wav"), kxtest::PcmWave(1, 8000, 16, played));
        kxtest::ScopedEnv in("KALDRIX_VIRTUAL_IN", dir.File("in.raw"));
        kxtest::ScopedEnv out("KALDRIX_VIRTUAL_OUT", dir.File("out.raw"));
        Library library(c.loaded);
        ASSERT_TRUE(library.ok()) << c.name;
        const Exports& kx = *library;

        if (c.recording) {
            ASSERT_EQ(kx.startRec(dir.File("rec.wav").c_str()), 1) << c.name;
        } else {
            ASSERT_EQ(kx.startPlay(dir.File("play.wav").c_str()), 1) << c.name;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_TRUE(ChildExitsNormally(std::chrono::seconds(5))) << c.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));

        if (c.recording) {
            EXPECT_EQ(kx.stopRec(), 1) << c.name;
            const Bytes file = kxtest::ReadFile(dir.File("rec.wav"));
            ASSERT_GE(file.size(), 44u + 960 * 8) << c.name;
            EXPECT_EQ(kxtest::ReadLe32(file, 40), file.size() - 44) << c.name;
            EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), input.begin()))
                << c.name << ": the recording is not the input from its first byte on";
        } else {
            for (int i = 0; i < 500 && kx.playStatus() != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(kx.playStatus(), 0) << c.name;
            EXPECT_EQ(kxtest::ReadFile(dir.File("out.raw")), played) << c.name;
        }
    }
}

} // namespace
