// SPDX-License-Identifier: MIT
// Runs of a matrix, each in a child process of its own, many side by side:
// a crash, a hang or a sanitizer report in one run is one finding among the
// others. A run's child writes what it found wrong, one line each, into the
// file "findings" of its folder; a child that ends without that file died.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kxtest {

struct ChildRun {
    std::string name;
    // Runs in the child, in its own folder; returning ends the child as
    // _exit(0) would, after "findings" is written.
    std::function<void(const std::string& dir, std::vector<std::string>& findings)> body;
    // A run that must end by this signal (0: must end normally).
    int expectedSignal = 0;

    std::string dir;
    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
    std::vector<std::string> findings;
};

// Runs every run, at most `jobs` at a time; a child still running after
// `limitSeconds` is killed and found hung. The child's standard output and
// error go to "output" in its folder, and an alarm ends it at the limit.
void RunChildren(std::vector<ChildRun>& runs, const std::string& root, unsigned jobs,
                 int limitSeconds);

// The findings of every run, one failure each, named.
void ReportFindings(const std::vector<ChildRun>& runs);

// A number from the environment, or `fallback`.
unsigned EnvNumber(const char* name, unsigned fallback);

} // namespace kxtest
