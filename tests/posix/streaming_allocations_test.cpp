// SPDX-License-Identifier: MIT
// After a start has returned, the library allocates no memory while it plays
// or records, until the stop: every allocation made by the program's own code
// (the library is linked into it) is counted over a steady window. Calls
// from shared libraries (the C++ runtime's own, ALSA and its plugins) are not
// the library's and are left out.
#include "kaldrix.h"
#include "support/AudioRig.h"
#include "support/PlaybackSupport.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<void*> g_firstCaller{nullptr};

} // namespace

extern "C" char __executable_start[];
extern "C" char etext[];

// Counts an allocation whose caller is the program's own code.
__attribute__((noinline)) static void Count(void* caller) {
    if (!g_counting.load(std::memory_order_relaxed))
        return;
    if (caller < static_cast<void*>(__executable_start) || caller >= static_cast<void*>(etext))
        return;
    g_allocations.fetch_add(1);
    void* none = nullptr;
    g_firstCaller.compare_exchange_strong(none, caller);
}

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    Count(__builtin_return_address(0));
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    Count(__builtin_return_address(0));
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }

// The C allocator too, where no sanitizer owns it.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);

void* malloc(size_t size) {
    Count(__builtin_return_address(0));
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    Count(__builtin_return_address(0));
    return __libc_calloc(count, size);
}
void* realloc(void* memory, size_t size) {
    Count(__builtin_return_address(0));
    return __libc_realloc(memory, size);
}
}
#endif

namespace {

struct Job {
    const char* what;
    bool (*start)(const std::string& folder);
    void (*stop)();
};

bool StartPlaying(const std::string& folder) {
    const std::string path = folder + "/long.wav";
    kxtest::WriteFile(path, kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(600 * 16000)));
    return KxStartPlayFile(path.c_str()) == 1;
}

bool StartRecording(const std::string& folder) {
    return KxStartRecFile((folder + "/rec.wav").c_str()) == 1;
}

const Job kJobs[] = {
    {"play", StartPlaying, [] { KxStopPlayFile(); }},
    {"record", StartRecording, [] { KxStopRecFile(); }},
    {"play and record",
     [](const std::string& folder) { return StartPlaying(folder) && StartRecording(folder); },
     [] {
         KxStopRecFile();
         KxStopPlayFile();
     }},
};

// Counts over two seconds of a job that has been running for one.
void ExpectNoAllocationWhileStreaming() {
    for (const Job& job : kJobs) {
        SCOPED_TRACE(job.what);
        kxtest::TempDir dir;
        ASSERT_TRUE(job.start(dir.path()));
        Sleep(1000);
        g_allocations = 0;
        g_firstCaller = nullptr;
        g_counting = true;
        Sleep(2000);
        g_counting = false;
        job.stop();
        EXPECT_EQ(g_allocations.load(), 0)
            << "the first from offset " << std::hex
            << static_cast<char*>(g_firstCaller.load()) - __executable_start
            << " (addr2line -f -C -e /proc/PID/exe)";
    }
}

TEST(StreamingAllocationsRealTime, NoneOnTheVirtualDevices) {
    // Twenty times the real clock: many headers in the window.
    kxtest::ScopedEnv speed("KALDRIX_VIRTUAL_SPEED", "20");
    ExpectNoAllocationWhileStreaming();
}

TEST(StreamingAllocationsRealTime, NoneThroughAlsa) {
    if (!kxtest::AudioRigRunning())
        GTEST_SKIP() << "no audio server (scripts/audio-rig.sh)";
    kxtest::ScopedEnv audio("KALDRIX_AUDIO", "alsa");
    ExpectNoAllocationWhileStreaming();
}

} // namespace
