// SPDX-License-Identifier: MIT
// The export guard on the real platform: a C++ exception or a processor
// fault inside an export's body becomes one log record and the export's
// exception result, on any thread, and the thread's exception list is left
// as it was found; what a callee handles itself stays with it.
#include "lifecycle/ExportGuard.h"
#include "support/LogEcho.h"

#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace {

const char kText[] = "\nException  KxPlayStatus";
constexpr int kExceptionResult = 5;

// The 32-bit thread's SEH frame list, into which the guard links a frame of
// its own. A 64-bit thread has no such list (its handlers come from unwind
// tables): there the comparisons below only say that the guard left nothing.
EXCEPTION_REGISTRATION_RECORD* ExceptionList() {
#ifdef __i386__
    NT_TIB* tib;
    __asm__("movl %%fs:0x18, %0" : "=r"(tib));
    return tib->ExceptionList;
#else
    return nullptr;
#endif
}

// Reserved and committed, but every access faults.
class NoAccessPage {
public:
    NoAccessPage() : m_page(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS)) {}
    ~NoAccessPage() { VirtualFree(m_page, 0, MEM_RELEASE); }
    void* get() const { return m_page; }

private:
    void* m_page;
};

enum class Failure {
    None,
    Exception,
    ForeignException,
    Read,
    Write,
    InsideRuntime,
    DivideByZero,
    ReadInsideCatchAll,
    HandledByCallee,
    CaughtInsideCallee
};

// Called through a pointer so that the compiler cannot see the fault coming.
void* (*volatile g_memset)(void*, int, size_t) = std::memset;
void (*volatile g_mayThrow)(int) = [](int) {};

// A fault on a load, not on a call, inside a frame whose catch-all the
// search passes on its way to the guard; -1 if that catch took it.
__attribute__((noinline)) int ReadInsideCatchAll(void* page) {
    try {
        const int value = *static_cast<volatile int*>(page);
        g_mayThrow(value);
        return value;
    } catch (...) {
        return -1;
    }
}

__attribute__((noinline)) int ThrowAndCatch() {
    try {
        throw std::runtime_error("thrown and caught inside the callee");
    } catch (const std::exception&) {
        return 43;
    }
}

int Body(Failure failure, void* page) {
    volatile int zero = 0;
    switch (failure) {
    case Failure::None:
        return 42;
    case Failure::Exception:
        throw std::runtime_error("thrown inside the body");
    case Failure::ForeignException:
        throw 7;
    case Failure::Read:
        return *static_cast<volatile int*>(page);
    case Failure::Write:
        *static_cast<volatile int*>(page) = 1;
        return 0;
    case Failure::InsideRuntime:
        g_memset(page, 0, 64);
        return 0;
    case Failure::DivideByZero:
        return 10 / zero;
    case Failure::ReadInsideCatchAll:
        return ReadInsideCatchAll(page);
    case Failure::HandledByCallee:
        // The system's own handler inside takes the fault: TRUE, unreadable.
        return IsBadReadPtr(page, sizeof(int)) ? 1 : 0;
    case Failure::CaughtInsideCallee:
        return ThrowAndCatch();
    }
    return 0;
}

int Records(const std::string& output) {
    int count = 0;
    for (size_t at = output.find("Exception  KxPlayStatus"); at != std::string::npos;
         at = output.find("Exception  KxPlayStatus", at + 1))
        ++count;
    return count;
}

int GuardedCall(Failure failure, void* page) {
    return RunExport(kText, kExceptionResult, [&] { return Body(failure, page); });
}

TEST(WineExportGuard, EveryFailureGivesOneRecordAndTheExceptionResult) {
    struct Case {
        const char* name;
        Failure failure;
        int result;
        int records;
    };
    const Case cases[] = {
        {"normal return", Failure::None, 42, 0},
        {"std::exception", Failure::Exception, kExceptionResult, 1},
        {"exception of another type", Failure::ForeignException, kExceptionResult, 1},
        {"read of a no-access page", Failure::Read, kExceptionResult, 1},
        {"write to a no-access page", Failure::Write, kExceptionResult, 1},
        {"fault inside msvcrt", Failure::InsideRuntime, kExceptionResult, 1},
        {"integer division by zero", Failure::DivideByZero, kExceptionResult, 1},
        {"fault outside any call site of a catch-all frame", Failure::ReadInsideCatchAll,
         kExceptionResult, 1},
        {"fault that IsBadReadPtr handles itself", Failure::HandledByCallee, 1, 0},
        {"C++ exception caught inside a callee", Failure::CaughtInsideCallee, 43, 0},
    };
    NoAccessPage page;
    ASSERT_NE(page.get(), nullptr);
    for (const Case& c : cases) {
        EXCEPTION_REGISTRATION_RECORD* const before = ExceptionList();
        int result = -1;
        const std::string output =
            kxtest::LogEchoOf([&] { result = GuardedCall(c.failure, page.get()); });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(Records(output), c.records) << c.name << ": " << output;
        EXPECT_EQ(ExceptionList(), before) << c.name;
    }
}

TEST(WineExportGuard, NestedGuardsEachCatchTheirOwn) {
    struct Case {
        const char* name;
        Failure inner;
        Failure outerAfterwards;
        int result;
    };
    const Case cases[] = {
        {"inner fault, the outer body goes on", Failure::Read, Failure::None, kExceptionResult + 1},
        {"inner returns, the outer body faults afterwards", Failure::None, Failure::Read,
         kExceptionResult},
    };
    NoAccessPage page;
    for (const Case& c : cases) {
        int outer = -1;
        const std::string output = kxtest::LogEchoOf([&] {
            outer = RunExport(kText, kExceptionResult, [&] {
                const int inner = GuardedCall(c.inner, page.get());
                Body(c.outerAfterwards, page.get());
                return inner + 1;
            });
        });
        EXPECT_EQ(outer, c.result) << c.name;
        EXPECT_EQ(Records(output), 1) << c.name;
    }
}

struct ThreadRun {
    void* page;
    int faults;
    int caught = 0;
    EXCEPTION_REGISTRATION_RECORD* listBefore = nullptr;
    EXCEPTION_REGISTRATION_RECORD* listAfter = nullptr;
};

DWORD WINAPI FaultRepeatedly(LPVOID parameter) {
    auto* run = static_cast<ThreadRun*>(parameter);
    run->listBefore = ExceptionList();
    for (int i = 0; i < run->faults; ++i) {
        const Failure failure = i % 2 ? Failure::Write : Failure::DivideByZero;
        if (GuardedCall(failure, run->page) == kExceptionResult)
            ++run->caught;
    }
    run->listAfter = ExceptionList();
    return 0;
}

TEST(WineExportGuard, ManyFaultsOnAnotherThreadAreAllCaughtThere) {
    NoAccessPage page;
    ThreadRun run{page.get(), 500};
    HANDLE thread = nullptr;
    DWORD waited = WAIT_FAILED;
    const std::string output = kxtest::LogEchoOf([&] {
        thread = CreateThread(nullptr, 0, FaultRepeatedly, &run, 0, nullptr);
        waited = thread ? WaitForSingleObject(thread, 60000) : WAIT_FAILED;
    });
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(run.caught, run.faults);
    EXPECT_EQ(Records(output), run.faults);
    EXPECT_EQ(run.listAfter, run.listBefore);
    EXPECT_EQ(GuardedCall(Failure::None, nullptr), 42) << "the guard still works afterwards";
}

} // namespace
