// SPDX-License-Identifier: MIT
// The POSIX layer where its behaviour is not obvious: message queues and
// WM_QUIT, automatic-reset events, thread exit codes and termination, the
// tick wrap, and where CFile throws.
#include "platform/platform.h"
#include "winapi/testing/TestInterface.h"
#include "support/TestSupport.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct QueueProbe {
    std::atomic<int> ready{0};
    std::vector<UINT> received;
    WPARAM quitCode = 0;
};

DWORD WINAPI DrainQueue(LPVOID parameter) {
    auto* probe = static_cast<QueueProbe*>(parameter);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // creates the queue
    probe->ready.store(1);
    while (GetMessageA(&msg, nullptr, 0, 0))
        probe->received.push_back(msg.message);
    probe->quitCode = msg.wParam;
    return 7;
}

TEST(PlatformThreads, QueueDeliversInOrderUntilQuitAndThenGoes) {
    QueueProbe probe;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, DrainQueue, &probe, 0, &id);
    ASSERT_NE(thread, nullptr);
    while (!probe.ready.load())
        Sleep(1);
    for (UINT message : {WM_USER + 1, WM_USER + 2, MM_WIM_DATA})
        EXPECT_TRUE(PostThreadMessageA(id, message, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 42, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.received, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, MM_WIM_DATA}));
    EXPECT_EQ(probe.quitCode, 42u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    // The ended thread has no queue any more; a thread that never asked for
    // one has none either.
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    CloseHandle(thread);
}

DWORD WINAPI WaitForever(LPVOID parameter) {
    auto* started = static_cast<std::atomic<int>*>(parameter);
    started->store(1);
    for (;;)
        Sleep(5);
}

TEST(PlatformThreads, ExitCodeIsStillActiveUntilTerminatedThenTheGivenCode) {
    std::atomic<int> started{0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitForever, &started, 0, &id);
    ASSERT_NE(thread, nullptr);
    while (!started.load())
        Sleep(1);
    EXPECT_FALSE(PostThreadMessageA(id, WM_QUIT, 0, 0)) << "no queue was asked for";
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateThread(thread, 0));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(thread);
}

TEST(PlatformThreads, InjectedCreateThreadFailureReturnsNull) {
    kxtest::FailOperation("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateThread(nullptr, 0, WaitForever, nullptr, 0, nullptr), nullptr);
    kxtest::ClearFailures();
}

TEST(PlatformEvents, AutomaticResetReleasesOneWaitAndResetClears) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT) << "the first wait reset it";
    SetEvent(event);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);

    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    CloseHandle(manual);
}

TEST(PlatformTime, TickDifferencesSurviveTheWrap) {
    kxtest::SetTickOffset(0xFFFFFFFFu - GetTickCount() - 20); // 20 ms before the wrap
    const DWORD before = GetTickCount();
    Sleep(60);
    const DWORD after = GetTickCount();
    kxtest::SetTickOffset(0);
    EXPECT_LT(after, before) << "the count wrapped";
    const DWORD elapsed = after - before;
    EXPECT_GE(elapsed, 60u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(PlatformMemory, LocalAllocZeroInitAndInjectedFailure) {
    auto* bytes = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(bytes[i], 0);
    EXPECT_EQ(LocalFree(bytes), nullptr);
    kxtest::FailOperation("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 2);
    void* first = LocalAlloc(LPTR, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr) << "the second call fails";
    void* third = LocalAlloc(LPTR, 8);
    EXPECT_NE(third, nullptr);
    LocalFree(first);
    LocalFree(third);
}

TEST(PlatformRuntime, VsnprintfCutsLikeMsvcrtAndStruprUpperCases) {
    struct Case {
        const char* text;
        size_t count;
        int result;
        const char* stored;
        size_t storedLength;
    };
    const Case cases[] = {
        {"abc", 8, 3, "abc", 4}, {"abcd", 4, 4, "abcd", 4}, {"abcdef", 4, -1, "abcd", 4}};
    for (const Case& c : cases) {
        char buffer[16];
        memset(buffer, '#', sizeof buffer);
        auto call = [&](const char* format, ...) {
            va_list args;
            va_start(args, format);
            const int result = _vsnprintf(buffer, c.count, format, args);
            va_end(args);
            return result;
        };
        EXPECT_EQ(call("%s", c.text), c.result) << c.text;
        EXPECT_EQ(std::string(buffer, c.storedLength), std::string(c.stored, c.storedLength));
        EXPECT_EQ(buffer[c.count], '#') << "nothing written past count";
    }
    char name[] = "Virtual out 2";
    EXPECT_STREQ(_strupr(name), "VIRTUAL OUT 2");
}

// The generic CFile cases are in file_test.cpp, which runs on both builds;
// a device that is always full exists only here.
TEST(PlatformFile, RefusedWriteThrowsDiskFull) {
    CFile full;
    ASSERT_TRUE(full.Open("/dev/full", CFile::modeWrite));
    int cause = -1;
    try {
        full.Write("RIFF", 4);
    } catch (CFileException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    EXPECT_EQ(cause, CFileException::diskFull);
}

// The system's error codes reach CFileException's causes through one table:
// a code of every row, and one of no row.
TEST(PlatformFile, EachSystemErrorThrowsItsCause) {
    const struct {
        int code;
        int cause;
    } cases[] = {
        {ENOENT, CFileException::fileNotFound},     {ENAMETOOLONG, CFileException::badPath},
        {ENFILE, CFileException::tooManyOpenFiles}, {EROFS, CFileException::accessDenied},
        {EBADF, CFileException::invalidFile},       {EDQUOT, CFileException::diskFull},
        {EINVAL, CFileException::badSeek},          {EIO, CFileException::hardIO},
        {EAGAIN, CFileException::genericException}};
    kxtest::TempDir dir;
    CFile file;
    ASSERT_TRUE(file.Open(dir.File("causes").c_str(), CFile::modeCreate | CFile::modeWrite));
    for (const auto& c : cases) {
        kxtest::FailOperation("CFile::Write", static_cast<DWORD>(c.code));
        int cause = -1;
        long osError = 0;
        try {
            file.Write("RIFF", 4);
        } catch (CFileException* e) {
            cause = e->m_cause;
            osError = e->m_lOsError;
            e->Delete();
        }
        EXPECT_EQ(cause, c.cause) << "errno " << c.code;
        EXPECT_EQ(osError, c.code);
    }
    kxtest::ClearFailures();
}

// A thread that runs one file operation when told, then notes that it came
// back from it.
struct FileCall {
    std::function<void(CFile&)> operation;
    CFile file;
    std::atomic<bool> go{false};
    std::atomic<bool> returned{false};
};

DWORD WINAPI RunFileCall(LPVOID parameter) {
    auto* call = static_cast<FileCall*>(parameter);
    while (!call->go.load())
        usleep(1000); // not a platform call, so the thread cannot park here
    try {
        call->operation(call->file);
    } catch (CFileException* e) {
        e->Delete();
    }
    call->returned.store(true);
    call->file.Write("after", 5);
    return 0;
}

// True when `flag` is set within about half a second.
bool SetSoon(const std::atomic<bool>& flag) {
    for (int i = 0; i < 50 && !flag.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return flag.load();
}

// A terminated thread parks in the next file operation it enters, and in a
// write that was already under way once that write returns: it never runs
// on to touch the file again.
TEST(PlatformThreads, TerminatedThreadParksInEveryFileOperation) {
    struct Case {
        const char* name;
        bool heldInside; // terminated while held inside the call, else before it
        std::function<void(CFile&)> operation;
    };
    const Case cases[] = {
        {"Open", false, [](CFile& f) { f.Open("/dev/null", CFile::modeWrite); }},
        {"Write", false, [](CFile& f) { f.Write("call", 4); }},
        {"Seek", false, [](CFile& f) { f.Seek(0, CFile::begin); }},
        {"GetLength", false, [](CFile& f) { f.GetLength(); }},
        {"SetLength", false, [](CFile& f) { f.SetLength(0); }},
        {"Close", false, [](CFile& f) { f.Close(); }},
        {"Write under way", true, [](CFile& f) { f.Write("call", 4); }},
    };
    kxtest::TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.File(std::string(c.name) + ".bin");
        // Left to the parked thread for good.
        auto* call = new FileCall;
        call->operation = c.operation;
        ASSERT_TRUE(call->file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
        if (c.heldInside) {
            kxtest::HoldNextFileWrite();
            call->go.store(true);
        }
        HANDLE thread = CreateThread(nullptr, 0, RunFileCall, call, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        if (c.heldInside) {
            ASSERT_TRUE(kxtest::WaitForHeldFileWrite(5000)) << c.name;
        }
        EXPECT_TRUE(TerminateThread(thread, 0));
        kxtest::ReleaseFileWrite();
        call->go.store(true);
        EXPECT_FALSE(SetSoon(call->returned)) << c.name << ": the thread ran on";
        const kxtest::Bytes expected =
            c.heldInside ? kxtest::Bytes{'c', 'a', 'l', 'l'} : kxtest::Bytes{};
        EXPECT_EQ(kxtest::ReadFile(path), expected) << c.name;
        CloseHandle(thread);
    }
}

struct SectionCall {
    CRITICAL_SECTION section;
    std::atomic<bool> waiting{false};
    std::atomic<bool> entered{false};
};

DWORD WINAPI EnterSection(LPVOID parameter) {
    auto* call = static_cast<SectionCall*>(parameter);
    call->waiting.store(true);
    EnterCriticalSection(&call->section);
    call->entered.store(true);
    return 0;
}

// A thread terminated while it waits for a critical section never owns it:
// it parks, and the section is free for the others.
TEST(PlatformThreads, ThreadTerminatedWhileWaitingForASectionParksWithoutIt) {
    auto* call = new SectionCall; // left to the parked thread for good
    InitializeCriticalSection(&call->section);
    EnterCriticalSection(&call->section);
    HANDLE thread = CreateThread(nullptr, 0, EnterSection, call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(SetSoon(call->waiting));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(TerminateThread(thread, 0));
    LeaveCriticalSection(&call->section);
    EXPECT_FALSE(SetSoon(call->entered)) << "the thread ran on";
    std::atomic<bool> free{false};
    std::thread other([&] {
        if (TryEnterCriticalSection(&call->section)) {
            free.store(true);
            LeaveCriticalSection(&call->section);
        }
    });
    other.join();
    EXPECT_TRUE(free.load()) << "the parked thread holds the section";
    CloseHandle(thread);
}

} // namespace
