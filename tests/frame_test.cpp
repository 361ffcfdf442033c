// SPDX-License-Identifier: MIT
// The library frame: load and unload of the shared library with their log
// records, the exports it shows, and the guard around every export.
#include "KaldrixExports.h"
#include "lifecycle/ExportEntry.h"
#include "support/LogEcho.h"
#include "support/TestSupport.h"

#include <csetjmp>
#include <csignal>
#include <dlfcn.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// A host's process that loads the library, unloads and reloads it, then
// exits: the library stays loaded once loaded (one instance, one "Log
// Started"), and its detach runs at the exit.
void LoadUnloadReloadThenExit(const std::string& log) {
    void* library = dlopen(KALDRIX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        _exit(1);
    for (const kxtest::ExportRow& row : kxtest::kExports)
        if (!dlsym(library, row.name))
            _exit(2);
    if (dlsym(library, "CallGuarded") || dlsym(library, "g_Log"))
        _exit(3); // only the six functions are exported
    if (dlclose(library) != 0 || dlopen(KALDRIX_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD) != library)
        _exit(4); // still loaded, and the same instance
    const std::string text = kxtest::FileExists(log) ? kxtest::ReadText(log) : "";
    if (text.find(":Log Exited", text.rfind("\n=====")) != std::string::npos)
        _exit(5); // this process's session is not over yet
    exit(0);
}

// A forked copy of this program, whose library starts its echo thread: the
// thread sanitizer refuses threads started after a multi-threaded fork.
void LoadInAProcessOfItsOwn(const std::string& log) {
    EXPECT_EXIT(LoadUnloadReloadThenExit(log), testing::ExitedWithCode(0), "");
}

TEST(LibraryFrame, LoadsWithoutMarkerAndCreatesNoLog) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a forked process may not start threads under the thread sanitizer";
#endif
    kxtest::TempDir dir;
    kxtest::ScopedEnv logDir("KALDRIX_LOG_DIR", dir.path());
    LoadInAProcessOfItsOwn(dir.File(kxtest::TodaysLogName()));
    EXPECT_FALSE(kxtest::FileExists(dir.File(kxtest::TodaysLogName())));
}

TEST(LibraryFrame, EachProcessLogsStartedThenExitedAtItsExitAfterItsSeparator) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a forked process may not start threads under the thread sanitizer";
#endif
    kxtest::TempDir dir;
    kxtest::ScopedEnv logDir("KALDRIX_LOG_DIR", dir.path());
    kxtest::WriteFile(dir.File("tracelog.is"), {});
    LoadInAProcessOfItsOwn(dir.File(kxtest::TodaysLogName()));
    LoadInAProcessOfItsOwn(dir.File(kxtest::TodaysLogName()));
    const std::string text = kxtest::ReadText(dir.File(kxtest::TodaysLogName()));
    const std::string separator = "\n============================================";
    size_t at = 0;
    for (int process = 0; process < 2; ++process) {
        at = text.find(separator, at);
        ASSERT_NE(at, std::string::npos) << text;
        const size_t next = text.find(separator, at + 1);
        const std::string session = text.substr(at, next - at);
        EXPECT_EQ(CountOf(session, ":Log Started"), 1u) << session;
        EXPECT_EQ(CountOf(session, ":Log Exited"), 1u) << session;
        EXPECT_LT(session.find(":Log Started"), session.find(":Log Exited")) << session;
        at = next;
    }
    EXPECT_EQ(at, std::string::npos) << "one session per process";
}

// A page that faults on any access: a plain null store would be reported by
// the undefined-behaviour sanitizer before any signal is raised.
volatile int* FaultingAddress() {
    static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return static_cast<volatile int*>(page);
}

int Divide(volatile int numerator, volatile int denominator) { return numerator / denominator; }

TEST(ExportGuard, ExceptionsAndFaultsBecomeOneRecordAndTheFixedResult) {
    struct Case {
        const char* what;
        std::function<int()> body;
    };
    const Case cases[] = {
        {"C++ exception", []() -> int { throw std::runtime_error("boom"); }},
        {"exception of any type", []() -> int { throw 42; }},
        {"memory fault", [] { return *FaultingAddress(); }},
    };
    for (const Case& c : cases) {
        int result = -1;
        EXPECT_EQ(
            kxtest::LogEchoOf([&] { result = RunExport("\nException  KxPlayStatus", 0, c.body); }),
            "\nException  KxPlayStatus\n")
            << c.what;
        EXPECT_EQ(result, 0) << c.what;
        // The guard still works afterwards, and a normal body keeps its result.
        EXPECT_EQ(RunExport("\nException  KxStartPlayFile", -1, [] { return 5; }), 5);
    }
}

TEST(ExportGuard, DivisionByZeroIsCaught) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers report the division themselves";
#endif
    int result = -1;
    EXPECT_EQ(kxtest::LogEchoOf([&] {
                  result = RunExport("\nException  KxStopPlayFile", 0, [] { return Divide(1, 0); });
              }),
              "\nException  KxStopPlayFile\n");
    EXPECT_EQ(result, 0);
}

// Outside a guard a fault reaches the handler that was installed before the
// library's, so a host's own handling is untouched. The check runs in a fresh
// copy of this program, where no guard has installed its handler yet.
sigjmp_buf g_hostJump;
void HostHandler(int) { siglongjmp(g_hostJump, 1); }

void FaultInsideThenOutsideAGuard() {
    struct sigaction host {};
    host.sa_handler = HostHandler;
    sigemptyset(&host.sa_mask);
    sigaction(SIGSEGV, &host, nullptr);
    // The first guarded call installs the library's handler over the host's.
    if (RunExport("\nException  KxRecordStatus", 0, [] { return *FaultingAddress(); }) != 0)
        std::_Exit(1);
    if (sigsetjmp(g_hostJump, 1) == 0) {
        (void)*FaultingAddress();
        std::_Exit(2);
    }
    std::_Exit(0);
}

TEST(ExportGuardDeathTest, FaultsOutsideAGuardGoToTheHostsHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(FaultInsideThenOutsideAGuard(), testing::ExitedWithCode(0), "");
}

// A thread that ends inside a call (pthread_exit unwinds it) passes the guard
// untouched, and the entry gives back the family's lock on its way out.
void EndAThreadInsideACall() {
    static CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    const ExportEntry entry{"\nException  KxStopRecordFile", 0,
                            []() -> CRITICAL_SECTION& { return lock; }, nullptr, nullptr};
    std::thread([&entry] { EnterExport(entry, []() -> int { pthread_exit(nullptr); }); }).join();
    std::_Exit(TryEnterCriticalSection(&lock) ? 0 : 1);
}

TEST(ExportGuardDeathTest, AThreadEndingInsideACallPassesTheGuardAndGivesBackTheLock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(EndAThreadInsideACall(), testing::ExitedWithCode(0), "");
}

// A host's own handling of SIGSEGV, SIGBUS and SIGFPE goes on as if the
// library were not there: a signal that is not the processor's fault inside a
// call reaches the disposition the host set, before or after the library's
// first call. Each row runs in a fresh copy of this program: the host's setup,
// one call, the host's later setup, then the signal; a survivor exits 0.
constexpr int kHostHandlerExit = 42;
volatile int g_recursionLimit = 1 << 30;

__attribute__((noinline)) int OverflowTheStack(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return depth == g_recursionLimit ? 0 : OverflowTheStack(depth + 1) + frame[0];
}

struct sigaction g_found;

// With SA_ONSTACK the handler gets an alternate stack, as a stack overflow
// handler must.
void Install(int signal, void (*handler)(int, siginfo_t*, void*), int flags) {
    static char alternateStack[256 * 1024];
    const stack_t alternate{alternateStack, 0, sizeof alternateStack};
    if (flags & SA_ONSTACK)
        sigaltstack(&alternate, nullptr);
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO | flags;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGUSR1);
    sigaction(signal, &action, &g_found);
}

void HostExits(int, siginfo_t*, void*) { _exit(kHostHandlerExit); }

// Exits kHostHandlerExit only when called as the kernel calls it: with its
// siginfo and under its mask. Its one shot (SA_RESETHAND) is spent on the
// library's saved copy; the library's own handler stays installed.
void HostChecksHowItIsCalled(int, siginfo_t* info, void*) {
    sigset_t blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    const bool asCalledByTheKernel = info && info->si_signo == SIGSEGV && info->si_code > 0 &&
                                     sigismember(&blocked, SIGUSR1) &&
                                     sigismember(&blocked, SIGSEGV);
    _exit(asCalledByTheKernel ? kHostHandlerExit : kHostHandlerExit + 1);
}

// What Python's faulthandler does: report, put back the disposition it
// found, and raise the signal again.
void FaultHandlerLike(int signal, siginfo_t*, void*) {
    const char report[] = "Fatal Python error: Segmentation fault\n";
    (void)!write(STDERR_FILENO, report, sizeof report - 1);
    sigaction(signal, &g_found, nullptr);
    raise(signal);
}

void RunSignalRow(void (*before)(), void (*after)(), void (*signal)()) {
    before();
    RunExport("\nException  KxPlayStatus", 0, [] { return 0; });
    after();
    signal();
    _exit(0);
}

TEST(ExportGuardDeathTest, HostsSignalHandlingIsUntouched) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Step = void (*)();
    const Step nothing = [] {};
    const Step defaultSegv = [] { signal(SIGSEGV, SIG_DFL); };
    const Step defaultFpe = [] { signal(SIGFPE, SIG_DFL); };
    const Step ignoreSegv = [] { signal(SIGSEGV, SIG_IGN); };
    const Step overflow = [] { OverflowTheStack(0); };
    const Step fault = [] { (void)*FaultingAddress(); };
    const Step killSegv = [] { kill(getpid(), SIGSEGV); };
    const Step killFpe = [] { kill(getpid(), SIGFPE); };
    const Step raiseInsideACall = [] {
        RunExport("\nException  KxPlayStatus", 0, [] { return raise(SIGSEGV); });
    };
    const Step checkingHandler = [] { Install(SIGSEGV, HostChecksHowItIsCalled, SA_RESETHAND); };
    const Step overflowHandler = [] { Install(SIGSEGV, HostExits, SA_ONSTACK); };
    const Step faultHandler = [] { Install(SIGSEGV, FaultHandlerLike, SA_NODEFER | SA_ONSTACK); };
    const Step faultHandlerOverDefault = [] {
        signal(SIGSEGV, SIG_DFL);
        Install(SIGSEGV, FaultHandlerLike, SA_NODEFER | SA_ONSTACK);
    };
    struct Case {
        const char* name;
        Step before, after, signal;
        std::function<bool(int)> ends;
        const char* stderrPattern;
    };
    const Case cases[] = {
        {"stack overflow handler on an alternate stack", overflowHandler, nothing, overflow,
         testing::ExitedWithCode(kHostHandlerExit), ""},
        {"kill -SEGV, default action", defaultSegv, nothing, killSegv,
         testing::KilledBySignal(SIGSEGV), ""},
        {"kill -SEGV, ignored", ignoreSegv, nothing, killSegv, testing::ExitedWithCode(0), ""},
        {"kill -FPE, default action", defaultFpe, nothing, killFpe, testing::KilledBySignal(SIGFPE),
         ""},
        {"SIGSEGV raised inside a call, default action", defaultSegv, nothing, raiseInsideACall,
         testing::KilledBySignal(SIGSEGV), ""},
        {"handler installed before the first call: flags and mask", checkingHandler, nothing, fault,
         testing::ExitedWithCode(kHostHandlerExit), ""},
        {"faulthandler installed before the first call, stack overflow", faultHandlerOverDefault,
         nothing, overflow, testing::KilledBySignal(SIGSEGV), "Fatal Python error"},
        {"faulthandler installed after the first call, kill -SEGV", defaultSegv, faultHandler,
         killSegv, testing::KilledBySignal(SIGSEGV), "Fatal Python error"},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(RunSignalRow(c.before, c.after, c.signal), c.ends, c.stderrPattern) << c.name;
}

// Loading and unloading the library leaves the host's own fault handler in
// charge, whatever ran in between: after dlclose a fault outside the
// library's calls lands in the host's handler. Each case runs in a fresh
// copy of this program.
enum class WhileLoaded { Nothing, StatusCalls, Recording, Playing };

void HostHandlerExits(int) { _exit(kHostHandlerExit); }

void LoadUseUnloadThenFault(WhileLoaded use) {
    struct sigaction host {};
    host.sa_handler = HostHandlerExits;
    sigemptyset(&host.sa_mask);
    sigaction(SIGSEGV, &host, nullptr);
    {
        kxtest::TempDir dir;
        kxtest::WriteFile(dir.File("in.wav"), kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(16000)));
        void* library = dlopen(KALDRIX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            _exit(1);
        auto call = [library](const char* name, const char* argument) {
            auto function = reinterpret_cast<int (*)(const char*)>(dlsym(library, name));
            return function ? function(argument) : -100;
        };
        auto status = [library](const char* name) {
            auto function = reinterpret_cast<int (*)()>(dlsym(library, name));
            return function ? function() : -100;
        };
        if (use == WhileLoaded::StatusCalls &&
            (status("KxPlayStatus") != 0 || status("KxRecordStatus") != 0))
            _exit(2);
        if (use == WhileLoaded::Recording &&
            call("KxStartRecFile", dir.File("out.wav").c_str()) != 1)
            _exit(3);
        if (use == WhileLoaded::Playing && call("KxStartPlayFile", dir.File("in.wav").c_str()) != 1)
            _exit(4);
        if (dlclose(library) != 0)
            _exit(5);
    }
    (void)*FaultingAddress();
    _exit(6);
}

TEST(LibraryFrameDeathTest, HostsFaultHandlerOutlivesTheLibrary) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* name;
        WhileLoaded use;
    };
    const Case cases[] = {{"no call", WhileLoaded::Nothing},
                          {"status calls", WhileLoaded::StatusCalls},
                          {"recording", WhileLoaded::Recording},
                          {"playing", WhileLoaded::Playing}};
    kxtest::ScopedEnv audio("KALDRIX_AUDIO", "virtual");
    for (const Case& c : cases)
        EXPECT_EXIT(LoadUseUnloadThenFault(c.use), testing::ExitedWithCode(kHostHandlerExit), "")
            << c.name;
}

} // namespace
