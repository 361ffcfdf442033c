// SPDX-License-Identifier: MIT
#include "winapi/kernel/FaultInjection.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/kernel/Immortal.h"
#include "winapi/kernel/ThreadState.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct FailureRule {
    DWORD code;
    unsigned callsToSkip;
    unsigned callsToFail; // 0: every call
    unsigned delayMs;     // a delay rule holds the call instead of failing it
};

struct FailureTable {
    std::mutex mutex;
    std::map<std::string, FailureRule> rules;
    bool counting = false;
    std::map<std::string, kxtest::CallCount> counts;
    std::atomic<bool> any{false};
};

// Built on first use and never destroyed, so it outlives every static object.
FailureTable& Table() {
    static FailureTable* table = MakeImmortal<FailureTable>();
    return *table;
}

void Count(FailureTable& table, const char* operation) {
    kxtest::CallCount& count = table.counts[operation];
    ++count.calls;
    if (IsLayerThread()) {
        if (count.firstOnLibraryThread == 0)
            count.firstOnLibraryThread = count.calls;
        count.lastOnLibraryThread = count.calls;
    }
}

// A file write that a test holds on a layer thread (kxtest::HoldNextFileWrite).
struct WriteHold {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool holding = false;
};

WriteHold& Hold() {
    static WriteHold* hold = MakeImmortal<WriteHold>();
    return *hold;
}

void AddRule(const char* operation, const FailureRule& rule) {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.rules[operation] = rule;
    table.any.store(true, std::memory_order_release);
}

} // namespace

bool InjectedFailure(const char* operation, DWORD* code) {
    FailureTable& table = Table();
    if (!table.any.load(std::memory_order_acquire))
        return false;
    unsigned delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.counting)
            Count(table, operation);
        auto it = table.rules.find(operation);
        if (it == table.rules.end())
            return false;
        FailureRule& rule = it->second;
        if (rule.callsToSkip > 0) {
            --rule.callsToSkip;
            return false;
        }
        delayMs = rule.delayMs;
        if (delayMs == 0)
            *code = rule.code;
        if (rule.callsToFail > 0 && --rule.callsToFail == 0)
            table.rules.erase(it);
    }
    if (delayMs == 0)
        return true;
    // Held outside the lock, as a slow disk or driver would hold the caller.
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return false;
}

void WaitWhileFileWriteHeld() {
    if (!IsLayerThread())
        return;
    WriteHold& hold = Hold();
    std::unique_lock<std::mutex> lock(hold.mutex);
    if (!hold.armed)
        return;
    hold.armed = false;
    hold.holding = true;
    hold.changed.notify_all();
    hold.changed.wait(lock, [&hold] { return !hold.holding; });
}

namespace kxtest {

void FailOperation(const char* operation, DWORD code, unsigned nth, unsigned count) {
    AddRule(operation, FailureRule{code, nth > 0 ? nth - 1 : 0, count, 0});
}

void DelayOperation(const char* operation, unsigned milliseconds, unsigned nth, unsigned count) {
    AddRule(operation, FailureRule{0, nth > 0 ? nth - 1 : 0, count, milliseconds});
}

void ClearFailures() {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.rules.clear();
}

void CountCalls() {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.counts.clear();
    table.counting = true;
    table.any.store(true, std::memory_order_release);
}

std::map<std::string, CallCount> CountedCalls() {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.counts;
}

void HoldNextFileWrite() {
    WriteHold& hold = Hold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.armed = true;
}

bool WaitForHeldFileWrite(DWORD milliseconds) {
    WriteHold& hold = Hold();
    std::unique_lock<std::mutex> lock(hold.mutex);
    return hold.changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [&hold] { return hold.holding; });
}

void ReleaseFileWrite() {
    WriteHold& hold = Hold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.armed = false;
    hold.holding = false;
    hold.changed.notify_all();
}

} // namespace kxtest
