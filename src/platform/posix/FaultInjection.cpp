#include "platform/posix/FaultInjection.h"
#include "platform/posix/TestInterface.h"
#include "platform/posix/Immortal.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace {

struct FailureRule {
    DWORD code;
    unsigned callsToSkip;
    unsigned callsToFail; // 0: every call
};

struct FailureTable {
    std::mutex mutex;
    std::map<std::string, FailureRule> rules;
    std::atomic<bool> any{false};
};

// Built on first use and never destroyed, so it outlives every static object.
FailureTable& Table() {
    static FailureTable* table = MakeImmortal<FailureTable>();
    return *table;
}

} // namespace

bool InjectedFailure(const char* operation, DWORD* code) {
    FailureTable& table = Table();
    if (!table.any.load(std::memory_order_acquire))
        return false;
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.rules.find(operation);
    if (it == table.rules.end())
        return false;
    FailureRule& rule = it->second;
    if (rule.callsToSkip > 0) {
        --rule.callsToSkip;
        return false;
    }
    *code = rule.code;
    if (rule.callsToFail > 0 && --rule.callsToFail == 0)
        table.rules.erase(it);
    return true;
}

namespace kxtest {

void FailOperation(const char* operation, DWORD code, unsigned nth, unsigned count) {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.rules[operation] = FailureRule{code, nth > 0 ? nth - 1 : 0, count};
    table.any.store(true, std::memory_order_release);
}

void ClearFailures() {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.rules.clear();
}

} // namespace kxtest
