// SPDX-License-Identifier: MIT
// What /proc says about this process's threads, so that tests can see the
// library's threads by their names and count how often they wake.
#pragma once

#include <string>
#include <vector>

namespace kxtest {

// The thread ids (as in /proc/self/task) of the threads called `name`.
std::vector<std::string> ThreadIds(const std::string& name);
bool HasThread(const std::string& name);
// Context switches of a thread so far, voluntary and not: each sleep and
// each wake-up counts at least once. -1 when the thread has gone.
long ContextSwitches(const std::string& id);

} // namespace kxtest
