// SPDX-License-Identifier: MIT
// The fault matrix: each scenario is run once to learn which operations the
// library calls and how often; then once for each operation and each of its
// 1st, 2nd, 3rd and last calls (every call with KALDRIX_MATRIX_ALL_K=1)
// with that call failing, once more for the 1st to 3rd with every call from
// there on failing, and once for each operation that a library thread
// calls with its first and last such call held for 6 s (a slow disk or
// driver). Every run is a child process of its own, so a crash, a sanitizer
// report or a hang is one finding among the others; many run side by side.
// Each run must end within 30 s, leave nothing behind, leave valid
// recordings, play nothing but the files' data, end with both statuses 0,
// and answer and log what a failed start or stop prescribes.
#include "kaldrix.h"
#include "lifecycle/Lifecycle.h"
#include "log/LogText.h"
#include "winapi/testing/TestInterface.h"
#include "support/ChildRuns.h"
#include "support/Leftovers.h"
#include "support/PlaybackSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace {

using kxtest::Bytes;

// Longer than a recording stop takes to give up on its capture thread.
constexpr unsigned kHoldMs = 6000;
constexpr int kRunLimitS = 30;

// 48 kHz 16-bit stereo: a 16 KiB block is 85 ms, so short files still play
// several blocks.
const Bytes kPlayFormat = kxtest::PcmFormat(2, 48000, 16);

struct Fault {
    std::string operation; // empty: the counting run
    unsigned k = 0;
    bool hold = false;
    bool persistent = false; // every call from the kth on fails: a dead device or disk
};

std::string Describe(const Fault& f) {
    return f.operation +
           (f.hold         ? " held at call "
            : f.persistent ? " fails from call "
                           : " fails at call ") +
           std::to_string(f.k) + (f.persistent ? " on" : "");
}

// One child's run of a scenario: its files, what the exports answered, and
// what it found wrong.
class Run {
public:
    Run(const std::string& dir, const Fault& fault) : m_dir(dir), m_fault(fault) {
        kxtest::WriteFile(Path("in.raw"), m_input);
        kxtest::WriteFile(Path("short.wav"), kxtest::WaveFile(kPlayFormat, m_short));
        kxtest::WriteFile(Path("long.wav"), kxtest::WaveFile(kPlayFormat, m_long));
        setenv("KALDRIX_VIRTUAL_IN", Path("in.raw").c_str(), 1);
        setenv("KALDRIX_VIRTUAL_OUT", Path("played.raw").c_str(), 1);
    }

    std::string Path(const char* name) const { return m_dir + "/" + name; }

    // A start that answers -1 (no file) or that finds a recording running
    // leaves no recording to check.
    int StartRec(const char* name) {
        const bool busy = KxRecordStatus() != 0;
        const int result = Note("KxStartRecFile", KxStartRecFile(Path(name).c_str()));
        if (result != -1 && !busy)
            m_recordings.push_back(Path(name));
        return result;
    }
    // A stop that answers -1 has said that its file is not complete: that
    // file is not checked, and stays open until the next start.
    int StopRec() {
        const int result = Note("KxStopRecFile", KxStopRecFile());
        if (result == -1 && !m_recordings.empty())
            m_recordings.pop_back();
        return result;
    }
    int StartPlay(const char* name, const Bytes& data) {
        m_played.push_back(data);
        if (m_firstPlay.empty())
            m_firstPlay = Path(name);
        return Note("KxStartPlayFile", KxStartPlayFile(Path(name).c_str()));
    }
    int StopPlay() { return Note("KxStopPlayFile", KxStopPlayFile()); }
    void WaitPlayEnd() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (KxPlayStatus() != 0) {
            if (std::chrono::steady_clock::now() > until) {
                Find("still playing 20 s after the start of a 0.2 s file");
                return;
            }
        }
    }

    const Bytes& shortData() const { return m_short; }
    const Bytes& longData() const { return m_long; }

    // The checks of every run, after the scenario.
    void CheckAfter(const kxtest::Holdings& before, const kxtest::LogCapture& log) {
        if (KxPlayStatus() != 0 || KxRecordStatus() != 0)
            Find("a status is not 0 after the scenario's stops");
        kxtest::Allowance allowed;
        if (!m_fault.hold &&
            (m_fault.operation == "waveInClose" || m_fault.operation == "waveOutClose"))
            allowed.devices = m_fault.persistent ? 2 : 1;
        // Terminated threads park for good on POSIX: a stop's, or a start's
        // whose thread never showed its queue.
        allowed.threads = static_cast<unsigned>(log.Count(LogText::kRecThreadStopped) +
                                                log.Count(LogText::kRecThreadOpenError) +
                                                log.Count("Unable to terminate Play Thread"));
        // The unload's own stop: its answer is only in the log.
        const bool unloadStopFailed = log.Count("\nStopRecordFile Return -1") >
                                      std::count(m_calls.begin(), m_calls.end(),
                                                 std::make_pair(std::string("KxStopRecFile"), -1));
        if (unloadStopFailed && !m_recordings.empty())
            m_recordings.pop_back();
        // A file whose close failed stays open, as the device does.
        allowed.files = (log.Count("\nStopRecordFile Return -1") > 0) +
                        (m_fault.operation == "mmioClose" ? m_played.size() : 0);
        Find(kxtest::Leftovers(before, allowed));
        for (const std::string& recording : m_recordings)
            Find(kxtest::RecordingFault(recording, m_input));
        const Bytes played =
            kxtest::FileExists(Path("played.raw")) ? kxtest::ReadFile(Path("played.raw")) : Bytes{};
        Find(kxtest::PlayedFault(played, m_played));
        CheckPrescribed(log);
    }

    void Find(const std::string& finding) {
        if (!finding.empty())
            m_findings.push_back(finding);
    }
    const std::vector<std::string>& findings() const { return m_findings; }

private:
    int Note(const char* call, int result) {
        m_calls.emplace_back(call, result);
        return result;
    }

    // What a failed step of a start or stop answers and logs, for the calls
    // that certainly belong to the first start or the stop after it.
    void CheckPrescribed(const kxtest::LogCapture& log) {
        if (m_fault.hold || m_calls.empty())
            return;
        const std::string& op = m_fault.operation;
        const unsigned k = m_fault.k;
        const bool playFirst = m_calls[0].first == std::string("KxStartPlayFile");
        struct Rule {
            const char* operation;
            unsigned fromK, toK;
            int result;
            std::string record;
        };
        const std::string fileRecord =
            kxtest::Format(LogText::kPlayFileOpenError, m_firstPlay.c_str(), 1);
        const std::vector<Rule> recordRules = {
            {"CFile::Write", 1, 1, -1, LogText::kRecordFileOpenError}, // the header: one write
            {"CreateThread", 1, 1, 0, LogText::kRecThreadOpenError},
            {"waveInOpen", 1, 2, 0, LogText::kRecDeviceOpenError},
            {"waveInReset", 1, 1, 0, LogText::kRecResetError},
            {"waveInPrepareHeader", 1, 10, 0, LogText::kRecPrepareError},
            {"waveInAddBuffer", 1, 10, 0, LogText::kRecAddBufferError},
            {"waveInStart", 1, 1, 0, LogText::kRecStartError},
        };
        const std::vector<Rule> playRules = {
            {"mmioOpenA", 1, 1, -1, fileRecord},
            {"mmioDescend", 1, 3, -1, fileRecord},
            {"mmioRead", 1, 1, -1, fileRecord},
            {"waveOutOpen", 1, 1, -1, kxtest::Format(LogText::kPlayDeviceOpenError, 1)},
            {"CreateThread", 1, 1, -1, ""},
        };
        for (const Rule& rule : playFirst ? playRules : recordRules) {
            if (op != rule.operation || k < rule.fromK || k > rule.toK)
                continue;
            if (m_calls[0].second != rule.result)
                Find(std::string(m_calls[0].first) + " answered " +
                     std::to_string(m_calls[0].second) + ", expected " +
                     std::to_string(rule.result));
            if (!rule.record.empty() && log.Count(rule.record) == 0)
                Find("the start's failure record is missing");
        }
        // The stop of the first recording, when nothing else failed before it.
        if (playFirst || m_calls.size() < 2 || m_calls[0].second != 1)
            return;
        if (op == "waveInClose" && k == 1 &&
            (m_calls[1].second != 1 || log.Count(LogText::kRecCloseError) == 0))
            Find("a failed close: the stop must answer 1 after the close record");
        if (op == "CFile::Seek" && k == 1 &&
            (m_calls[1].second != -1 || log.Count(LogText::kRecordFileCloseError) == 0))
            Find("a failed completion: the stop must answer -1 after the file record");
    }

    std::string m_dir;
    Fault m_fault;
    const Bytes m_input = kxtest::Pattern(16000 * 20, 3);
    const Bytes m_short = kxtest::Pattern(40000, 4); // 2.4 blocks, 0.2 s
    const Bytes m_long = kxtest::Pattern(384000, 5); // 2 s
    std::vector<std::pair<std::string, int>> m_calls;
    std::vector<std::string> m_recordings;
    std::string m_firstPlay;
    std::vector<Bytes> m_played;
    std::vector<std::string> m_findings;
};

struct Scenario {
    const char* name;
    std::function<void(Run&)> body;
};

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"play to the end",
         [](Run& r) {
             r.StartPlay("short.wav", r.shortData());
             r.WaitPlayEnd();
             r.StopPlay();
         }},
        {"play and stop",
         [](Run& r) {
             r.StartPlay("long.wav", r.longData());
             Sleep(300);
             r.StopPlay();
         }},
        // Two recordings, so that what the first leaves behind shows in the
        // second.
        {"record and stop",
         [](Run& r) {
             for (const char* name : {"a.wav", "b.wav"}) {
                 r.StartRec(name);
                 Sleep(400);
                 r.StopRec();
             }
         }},
        {"duplex",
         [](Run& r) {
             r.StartPlay("long.wav", r.longData());
             r.StartRec("a.wav");
             Sleep(500);
             r.StopRec();
             r.StopPlay();
         }},
        {"start while playing",
         [](Run& r) {
             r.StartPlay("long.wav", r.longData());
             Sleep(300);
             r.StartPlay("short.wav", r.shortData());
             r.WaitPlayEnd();
             r.StopPlay();
         }},
        // The unload's detach, driven directly: the child is thrown away
        // after it, and the fault table and counters are those of the same
        // copy of the library (a dlopen'ed copy would have its own).
        {"unload while busy",
         [](Run& r) {
             r.StartPlay("long.wav", r.longData());
             r.StartRec("a.wav");
             Sleep(400);
             LibraryDetach(false);
         }},
    };
    return scenarios;
}

DWORD CodeFor(const std::string& op) {
    if (op == "CFile::Write")
        return ENOSPC;
    if (op == "CFile::Seek")
        return EIO;
    if (op == "CreateThread" || op == "CreateEventA" || op == "LocalAlloc")
        return ERROR_NOT_ENOUGH_MEMORY;
    if (op == "PostThreadMessageA")
        return ERROR_INVALID_THREAD_ID;
    if (op.find("Open") != std::string::npos || op.find("Prepare") != std::string::npos)
        return MMSYSERR_NOMEM;
    if (op == "mmioRead")
        return MMIOERR_CANNOTREAD;
    return MMSYSERR_ERROR;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path);
    for (const std::string& line : lines)
        out << line << "\n";
}

// The child's whole life: the scenario, the checks, the leak check, and its
// findings.
void RunScenario(const std::string& dir, const Scenario& scenario, const Fault& fault,
                 std::vector<std::string>& findings) {
    setenv("KALDRIX_AUDIO", "virtual", 1);
    Run run(dir, fault);
    kxtest::LogCapture log;
    const kxtest::Holdings before = kxtest::CurrentHoldings();
    if (fault.operation.empty())
        kxtest::CountCalls();
    else if (fault.hold)
        kxtest::DelayOperation(fault.operation.c_str(), kHoldMs, fault.k);
    else
        kxtest::FailOperation(fault.operation.c_str(), CodeFor(fault.operation), fault.k,
                              fault.persistent ? 0 : 1);
    scenario.body(run);
    if (fault.operation.empty()) {
        std::vector<std::string> lines;
        for (const auto& [op, count] : kxtest::CountedCalls())
            lines.push_back(op + " " + std::to_string(count.calls) + " " +
                            std::to_string(count.firstOnLibraryThread) + " " +
                            std::to_string(count.lastOnLibraryThread));
        WriteLines(dir + "/counts", lines);
    }
    kxtest::ClearFailures();
    run.CheckAfter(before, log);
    if (__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check())
        run.Find("memory leaked (see the leak report)");
    findings = run.findings();
}

kxtest::ChildRun MakeRun(const Scenario& scenario, const Fault& fault) {
    kxtest::ChildRun run;
    run.name = scenario.name + (", " + Describe(fault));
    run.body = [&scenario, fault](const std::string& dir, std::vector<std::string>& findings) {
        RunScenario(dir, scenario, fault, findings);
    };
    return run;
}

// The runs of one scenario from its counting run's "counts" file.
void AddRuns(std::vector<kxtest::ChildRun>& runs, std::set<std::string>& operations,
             const Scenario& scenario, const std::string& countingDir, bool everyK) {
    std::ifstream in(countingDir + "/counts");
    std::string op;
    unsigned calls, firstOnThread, lastOnThread;
    while (in >> op >> calls >> firstOnThread >> lastOnThread) {
        operations.insert(op);
        std::set<unsigned> ks = {1, 2, 3, calls};
        if (everyK)
            for (unsigned k = 1; k <= calls; ++k)
                ks.insert(k);
        for (unsigned k : ks) {
            if (k < 1 || k > calls)
                continue;
            runs.push_back(MakeRun(scenario, Fault{op, k, false, false}));
            if (k <= 3 && k < calls)
                runs.push_back(MakeRun(scenario, Fault{op, k, false, true}));
        }
        for (unsigned k : std::set<unsigned>{firstOnThread, lastOnThread})
            if (k > 0)
                runs.push_back(MakeRun(scenario, Fault{op, k, true, false}));
    }
}

TEST(FaultMatrix, EveryFailingDeadOrSlowCallOfEveryScenarioEndsCleanly) {
    const auto begun = std::chrono::steady_clock::now();
    kxtest::TempDir root;
    const unsigned jobs = kxtest::EnvNumber("KALDRIX_MATRIX_JOBS", 32);
    std::vector<kxtest::ChildRun> counting;
    for (const Scenario& scenario : Scenarios())
        counting.push_back(MakeRun(scenario, Fault{}));
    kxtest::RunChildren(counting, root.path() + "/count", jobs, kRunLimitS);
    std::vector<kxtest::ChildRun> runs;
    std::set<std::string> operations;
    for (size_t i = 0; i < counting.size(); ++i) {
        EXPECT_TRUE(counting[i].findings.empty())
            << counting[i].name
            << " without a fault: " << ::testing::PrintToString(counting[i].findings);
        AddRuns(runs, operations, Scenarios()[i], counting[i].dir,
                kxtest::EnvNumber("KALDRIX_MATRIX_ALL_K", 0) != 0);
    }
    // KALDRIX_MATRIX_FILTER keeps the runs whose name holds it, to replay one.
    if (const char* filter = getenv("KALDRIX_MATRIX_FILTER"))
        runs.erase(std::remove_if(runs.begin(), runs.end(),
                                  [filter](const kxtest::ChildRun& run) {
                                      return run.name.find(filter) == std::string::npos;
                                  }),
                   runs.end());
    kxtest::RunChildren(runs, root.path() + "/run", jobs, kRunLimitS);
    kxtest::ReportFindings(runs);
    const size_t failed = static_cast<size_t>(
        std::count_if(runs.begin(), runs.end(),
                      [](const kxtest::ChildRun& run) { return !run.findings.empty(); }));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begun);
    printf("fault matrix: %zu scenarios x %zu operations -> %zu runs (k = 1, 2, 3, last%s; from k "
           "= 1-3 on; held "
           "calls on library threads, 6 s), %zu with findings, %lld s with %u at a time\n",
           Scenarios().size(), operations.size(), runs.size(),
           kxtest::EnvNumber("KALDRIX_MATRIX_ALL_K", 0) ? ", every k" : "", failed,
           static_cast<long long>(seconds.count()), jobs);
}

} // namespace
