// SPDX-License-Identifier: MIT
#include "support/ChildRuns.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxtest {

namespace {

[[noreturn]] void RunInChild(ChildRun& run, int limitSeconds) {
    const int output = open((run.dir + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(output, 1);
    dup2(output, 2);
    close(output);
    alarm(static_cast<unsigned>(limitSeconds));
    std::vector<std::string> findings;
    run.body(run.dir, findings);
    std::ofstream out(run.dir + "/findings");
    for (const std::string& finding : findings)
        out << finding << "\n";
    out.close();
    fflush(nullptr);
    _exit(0);
}

// The last lines of a child's output that say what went wrong.
std::string ReportOf(const std::string& dir) {
    std::ifstream in(dir + "/output");
    std::string line, report;
    while (std::getline(in, line)) {
        if (line.find("ERROR: ") != std::string::npos ||
            line.find("SUMMARY: ") != std::string::npos ||
            line.find("runtime error") != std::string::npos ||
            line.find("WARNING: ThreadSanitizer") != std::string::npos)
            report += "\n      " + line;
    }
    return report;
}

void Collect(ChildRun& run, int status, bool timedOut, int limitSeconds) {
    if (timedOut) {
        run.findings.push_back("did not end within " + std::to_string(limitSeconds) + " s");
        return;
    }
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (run.expectedSignal != 0) {
        if (signal != run.expectedSignal)
            run.findings.push_back("ended " +
                                   (signal ? "by signal " + std::to_string(signal)
                                           : "with exit status " + std::to_string(WEXITSTATUS(status))) +
                                   ", not by signal " + std::to_string(run.expectedSignal) +
                                   ReportOf(run.dir));
        return;
    }
    std::ifstream in(run.dir + "/findings");
    if (signal || !in) {
        run.findings.push_back(
            (signal == SIGALRM ? std::string("hung (alarm)")
             : signal          ? "crashed with signal " + std::to_string(signal)
                               : "died with exit status " + std::to_string(WEXITSTATUS(status))) +
            ReportOf(run.dir));
        return;
    }
    for (std::string line; std::getline(in, line);)
        run.findings.push_back(line);
    const std::string report = ReportOf(run.dir);
    if (!report.empty())
        run.findings.push_back("sanitizer report:" + report);
}

} // namespace

void RunChildren(std::vector<ChildRun>& runs, const std::string& root, unsigned jobs,
                 int limitSeconds) {
    mkdir(root.c_str(), 0700);
    std::map<pid_t, ChildRun*> running;
    size_t next = 0;
    while (next < runs.size() || !running.empty()) {
        while (next < runs.size() && running.size() < jobs) {
            ChildRun& run = runs[next];
            run.dir = root + "/" + std::to_string(next++);
            mkdir(run.dir.c_str(), 0700);
            fflush(nullptr);
            run.pid = fork();
            if (run.pid == 0)
                RunInChild(run, limitSeconds);
            run.started = std::chrono::steady_clock::now();
            running[run.pid] = &run;
        }
        int status = 0;
        const pid_t done = waitpid(-1, &status, WNOHANG);
        if (done > 0 && running.count(done)) {
            Collect(*running[done], status, false, limitSeconds);
            running.erase(done);
            continue;
        }
        for (auto it = running.begin(); it != running.end();) {
            ChildRun& run = *it->second;
            if (std::chrono::steady_clock::now() - run.started >
                std::chrono::seconds(limitSeconds + 5)) {
                kill(run.pid, SIGKILL);
                waitpid(run.pid, &status, 0);
                Collect(run, status, true, limitSeconds);
                it = running.erase(it);
            } else {
                ++it;
            }
        }
        usleep(20000);
    }
}

void ReportFindings(const std::vector<ChildRun>& runs) {
    for (const ChildRun& run : runs) {
        if (run.findings.empty())
            continue;
        std::ostringstream out;
        for (const std::string& finding : run.findings)
            out << "\n    " << finding;
        ADD_FAILURE() << run.name << ":" << out.str();
    }
}

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* value = getenv(name);
    return value && *value ? static_cast<unsigned>(std::stoul(value)) : fallback;
}

} // namespace kxtest
