// SPDX-License-Identifier: MIT
// The lifecycle matrix: a host's process does what processes do around the
// library (unload and reload it, exit from another thread, fork, send itself
// a signal, handle its own stack overflow, leave standard output unread) at
// each moment of the library's life (idle, inside each function, playing,
// recording, both, a stop in progress, a thread just given up on), also with
// the audio server frozen (KALDRIX_MATRIX_SERVER=1 runs those rows alone,
// each against a server of its own). Each row runs a host of its own in a
// child process, watched from another one, with a time limit. The host must
// survive (or die of a signal it sent itself exactly as it would without
// the library), every call must answer within its bound, and every
// recording must be a valid WAVE file holding an exact slice of the input.
#include "support/ChildRuns.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern "C" void __lsan_disable() __attribute__((weak));

namespace {
// A forked child of a host has none of its parent's threads, whose stacks
// hold what the parent's allocations are reachable from: the leak checker
// would find leaks that are none.
bool g_forkedChildOfHost = false;
} // namespace

extern "C" int __lsan_is_turned_off() { return g_forkedChildOfHost; }

namespace {

using kxtest::Bytes;
using Clock = std::chrono::steady_clock;

constexpr int kRowLimitS = 90;
constexpr int kHostLimitS = 75;
constexpr int kOverflowExit = 42; // the host's own stack-overflow handler ran

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

// Bounds, in seconds, of each call, of the unload and of exit(). The library
// stays loaded once loaded: dlclose only drops the host's reference.
constexpr double kStartBound = 6, kStatusBound = 1, kRecStopBound = 12, kPlayStopBound = 20,
                 kUnloadBound = 1, kExitBound = 45, kForkedExitBound = 5;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double Since(Clock::time_point begun) {
    return std::chrono::duration<double>(Clock::now() - begun).count();
}

// The six functions of one dlopen'd copy of the library.
struct Library {
    void* handle = nullptr;
    int (*startRec)(const char*) = nullptr;
    int (*stopRec)() = nullptr;
    int (*startPlay)(const char*) = nullptr;
    int (*stopPlay)() = nullptr;
    int (*playStatus)() = nullptr;
    int (*recStatus)() = nullptr;
};

// What the virtual input delivers, and the data of the file the hosts play.
Bytes Input() { return kxtest::Pattern(16000 * 40); }
Bytes PlayData() { return kxtest::Pattern(16000 * 4, 3); }

bool StartsWith(const Bytes& whole, const Bytes& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// A complete WAVE file of 8000 Hz 16-bit mono holding at least `minBytes`,
// whose data is the input from some byte on when `input` is given (from its
// first byte with `fromFirstByte`); what is wrong with it, or nothing.
std::vector<std::string> RecordingFindings(const std::string& path, size_t minBytes,
                                           const Bytes* input, bool fromFirstByte = false) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const Bytes file = kxtest::FileExists(path) ? kxtest::ReadFile(path) : Bytes{};
    if (file.size() < 44 || kxtest::ReadLe32(file, 40) != file.size() - 44 ||
        kxtest::ReadLe32(file, 4) != file.size() - 8)
        return {name + ": not a complete WAVE file (" + std::to_string(file.size()) + " bytes)"};
    std::vector<std::string> findings;
    const Bytes data(file.begin() + 44, file.end());
    if (data.size() < minBytes)
        findings.push_back(name + ": " + std::to_string(data.size()) + " bytes recorded");
    if (input && fromFirstByte && !StartsWith(*input, data))
        findings.push_back(name + ": not the input from its first byte");
    else if (input && !data.empty() &&
             std::search(input->begin(), input->end(), data.begin(), data.end()) == input->end())
        findings.push_back(name + ": not an exact slice of the input");
    return findings;
}

// An audio server of a row's own (scripts/audio-rig.sh), so that freezing
// it touches no other row. Its folder is short: it holds the server's socket.
class Server {
public:
    Server() {
        const std::string start = std::string(KALDRIX_SOURCE_DIR) + "/scripts/audio-rig.sh start " +
                                  m_dir + " >/dev/null 2>&1";
        m_started = system(start.c_str()) == 0;
    }
    ~Server() {
        Signal(SIGCONT);
        Signal(SIGKILL);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    bool started() const { return m_started; }
    // Its clients' environment, for this process.
    void Export() const {
        const std::string env = kxtest::ReadText(m_dir + "/env.sh");
        for (size_t at = 0, next; at < env.size(); at = next + 1) {
            next = env.find('\n', at);
            const std::string line = env.substr(at, next - at);
            const size_t equals = line.find('=');
            if (line.rfind("export ", 0) == 0 && equals != std::string::npos)
                setenv(line.substr(7, equals - 7).c_str(), line.substr(equals + 1).c_str(), 1);
            if (next == std::string::npos)
                break;
        }
    }
    void Signal(int signal) const {
        const std::string pid = kxtest::FileExists(m_dir + "/pulseaudio.pid")
                                    ? kxtest::ReadText(m_dir + "/pulseaudio.pid")
                                    : "";
        if (!pid.empty() && m_started)
            kill(std::stoi(pid), signal);
    }

private:
    kxtest::TempDir m_folder;
    std::string m_dir = m_folder.File("rig");
    bool m_started = false;
};

// What a row's host does and sees: its folder, its library, the bounds.
class Host {
public:
    explicit Host(const std::string& dir) : m_dir(dir) {
        kxtest::WriteFile(Path("in.raw"), m_input);
        kxtest::WriteFile(Path("play.wav"), kxtest::PcmWave(1, 8000, 16, PlayData()));
        kxtest::WriteFile(Path("tracelog.is"), {});
        setenv("KALDRIX_AUDIO", "virtual", 1);
        setenv("KALDRIX_VIRTUAL_IN", Path("in.raw").c_str(), 1);
        setenv("KALDRIX_VIRTUAL_OUT", Path("played.raw").c_str(), 1);
        setenv("KALDRIX_LOG_DIR", dir.c_str(), 1);
    }

    std::string Path(const char* name) const { return m_dir + "/" + name; }

    // The devices of the row's own audio server (ALSA), whose recordings
    // are what the server hears: silence, checked for completeness only.
    void UseServer(const Server& server) {
        server.Export();
        setenv("KALDRIX_AUDIO", "alsa", 1);
        m_server = &server;
    }
    const Server* server() const { return m_server; }

    void Load() {
        // Hosts end with library threads still running, whose allocations
        // the leak checker would report.
        if (__lsan_disable)
            __lsan_disable();
        // KALDRIX_MATRIX_LIBRARY runs the rows against another build.
        const char* path = getenv("KALDRIX_MATRIX_LIBRARY");
        lib.handle = dlopen(path && *path ? path : KALDRIX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!lib.handle) {
            Find(std::string("dlopen: ") + dlerror());
            return;
        }
        lib.startRec = Symbol<int (*)(const char*)>("KxStartRecFile");
        lib.stopRec = Symbol<int (*)()>("KxStopRecFile");
        lib.startPlay = Symbol<int (*)(const char*)>("KxStartPlayFile");
        lib.stopPlay = Symbol<int (*)()>("KxStopPlayFile");
        lib.playStatus = Symbol<int (*)()>("KxPlayStatus");
        lib.recStatus = Symbol<int (*)()>("KxRecordStatus");
    }

    void Unload() {
        Timed("dlclose", kUnloadBound, [this] { return dlclose(lib.handle); });
    }

    // Runs one call, finds it when it takes longer than `bound` seconds.
    int Timed(const char* what, double bound, const std::function<int()>& call) {
        const auto begun = Clock::now();
        const int result = call();
        if (Since(begun) > bound)
            Find(std::string(what) + " took " + std::to_string(Since(begun)) + " s");
        return result;
    }
    int StartRec(const char* name) {
        return Timed("KxStartRecFile", kStartBound,
                     [&] { return lib.startRec(Path(name).c_str()); });
    }
    int StopRec() { return Timed("KxStopRecFile", kRecStopBound, lib.stopRec); }
    int StartPlay(const char* name) {
        return Timed("KxStartPlayFile", kStartBound,
                     [&] { return lib.startPlay(Path(name).c_str()); });
    }
    int StopPlay() { return Timed("KxStopPlayFile", kPlayStopBound, lib.stopPlay); }
    int PlayStatus() { return Timed("KxPlayStatus", kStatusBound, lib.playStatus); }
    int RecStatus() { return Timed("KxRecordStatus", kStatusBound, lib.recStatus); }

    // A complete WAVE file of 8000 Hz 16-bit mono whose data is the input
    // from some byte on (or from its first), at least `minBytes` of it.
    void CheckRecording(const char* name, size_t minBytes, bool fromFirstByte = false) {
        for (const std::string& finding :
             RecordingFindings(Path(name), minBytes, m_server ? nullptr : &m_input, fromFirstByte))
            Find(finding);
    }

    // What the virtual output played: the play file's data from its first
    // byte on.
    void CheckPlayed() {
        const Bytes played =
            kxtest::FileExists(Path("played.raw")) ? kxtest::ReadFile(Path("played.raw")) : Bytes{};
        if (played.empty() || !StartsWith(PlayData(), played))
            Find("played.raw: " + std::to_string(played.size()) +
                 " bytes, not the play file's data from its first byte");
    }

    void Find(const std::string& finding) { m_findings.push_back(finding); }
    // The host's findings, for its watcher.
    void Report() const {
        FILE* out = fopen(Path("host-findings").c_str(), "w");
        for (const std::string& finding : m_findings)
            fprintf(out, "%s\n", finding.c_str());
        fclose(out);
    }

    Library lib;

private:
    template <typename F> F Symbol(const char* name) {
        return reinterpret_cast<F>(dlsym(lib.handle, name));
    }

    std::string m_dir;
    const Bytes m_input = Input();
    std::vector<std::string> m_findings;
    const Server* m_server = nullptr;
};

// The host's own clean-up at exit, registered before the library is loaded
// and so run after the library's: its other threads go on calling meanwhile.
void CleanUpSlowlyAtExit() {
    atexit([] { Sleep(300); });
}

// ---- moments: what the library is doing when the event comes ----

enum class Moment { idle, playing, recording, both };

void Bring(Host& host, Moment moment) {
    if (moment == Moment::playing || moment == Moment::both)
        if (host.StartPlay("play.wav") != 1)
            host.Find("playback did not start");
    if (moment == Moment::recording || moment == Moment::both)
        if (host.StartRec("rec.wav") != 1)
            host.Find("recording did not start");
    Sleep(600);
}

const char* const kFunctions[] = {"KxStartRecFile", "KxStopRecFile", "KxStartPlayFile",
                                  "KxStopPlayFile", "KxPlayStatus",  "KxRecordStatus"};

// The call a host thread is inside, for the rows that cancel it.
std::atomic<const char*> g_insideCall{nullptr};

// One round of calls to `function` (with what makes it do its work);
// false when a start or a stop did not answer as it does for one host
// thread alone.
bool CallOnce(Host& host, const std::string& function) {
    const auto inside = [](const char* name, auto call) {
        g_insideCall = name;
        const int answer = call();
        g_insideCall = nullptr;
        return answer;
    };
    const Library& lib = host.lib;
    const std::string rec = host.Path("rec.wav"), play = host.Path("play.wav"),
                      missing = host.Path("missing.wav");
    if (function == "KxStartRecFile" || function == "KxStopRecFile") {
        const bool started =
            inside("KxStartRecFile", [&] { return lib.startRec(rec.c_str()); }) == 1;
        return inside("KxStopRecFile", lib.stopRec) == 1 && started;
    }
    if (function == "KxStartPlayFile")
        return inside("KxStartPlayFile", [&] { return lib.startPlay(missing.c_str()); }) == -1;
    if (function == "KxStopPlayFile") {
        const bool started =
            inside("KxStartPlayFile", [&] { return lib.startPlay(play.c_str()); }) == 1;
        return inside("KxStopPlayFile", lib.stopPlay) == 0 && started;
    }
    if (function == "KxPlayStatus")
        inside("KxPlayStatus", lib.playStatus);
    else
        inside("KxRecordStatus", lib.recStatus);
    return true;
}

// Host threads that keep calling one of the functions until the process
// ends.
void KeepCalling(Host& host, const std::string& function) {
    for (int i = 0; i < 3; ++i)
        std::thread([&host, function] {
            for (;;)
                CallOnce(host, function);
        }).detach();
}

// A host thread calling `function` in a loop is cancelled after `delayMs`:
// the cancellation acts at its first cancellation point after the call it
// came in, which answered as usual.
void CancelInside(Host& host, const std::string& function, int delayMs) {
    static std::atomic<const char*> landedInside{nullptr};
    static std::atomic<bool> misanswered{false};
    struct Unwound {
        ~Unwound() { landedInside = g_insideCall.load(); }
    };
    std::thread caller([&host, function] {
        const Unwound unwound;
        for (;;) {
            misanswered = misanswered || !CallOnce(host, function);
            pthread_testcancel();
        }
    });
    Sleep(delayMs);
    pthread_cancel(caller.native_handle());
    caller.join();
    const std::string moment = " (cancelled after " + std::to_string(delayMs) + " ms)";
    if (landedInside)
        host.Find(std::string("the cancellation landed inside ") + landedInside.load() + moment);
    if (misanswered.exchange(false))
        host.Find("a call of a cancelled thread did not answer as usual" + moment);
}

// The process's resident memory, in KiB.
long ResidentKiB() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Forks a child that runs `child` (which must end it); true when it ended
// with status 0 within `bound` seconds.
bool ForkedChildEndsCleanly(double bound, const std::function<void()>& child) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        g_forkedChildOfHost = true;
        child();
        exit(0);
    }
    const auto begun = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Since(begun) > bound) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        Sleep(5);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- the rows ----

struct Row {
    std::string name;
    // The host's life; it ends the process itself or returns (exit 0).
    std::function<void(Host&)> host;
    int expectedSignal = 0;
    int expectedExit = 0;
    // What the host's standard output is: its own output file, a pipe that
    // nobody reads, a pipe nobody reads from any more, a stopped terminal.
    enum Output { file, unreadPipe, closedPipe, stoppedTerminal } output = file;
    // Against an audio server of its own, which the host may freeze.
    bool server = false;
    // The recording the exit must have completed, checked once the host
    // has ended.
    bool recordingCompletedAtExit = false;
};

// Record a few seconds while `during` runs, then stop; the recording is
// checked whole.
void RecordAround(Host& host, const std::function<void()>& during, size_t minBytes) {
    host.Load();
    if (host.StartRec("rec.wav") != 1)
        host.Find("recording did not start");
    during();
    if (host.StopRec() != 1)
        host.Find("KxStopRecFile did not answer 1");
    host.CheckRecording("rec.wav", minBytes);
}

// Calls that each write records: playback starts of a missing file.
void LogMany(Host& host, int count) {
    for (int i = 0; i < count; ++i)
        if (host.StartPlay("missing.wav") != -1)
            host.Find("a start of a missing file did not answer -1");
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    const std::pair<const char*, Moment> moments[] = {{"idle", Moment::idle},
                                                      {"playing", Moment::playing},
                                                      {"recording", Moment::recording},
                                                      {"playing and recording", Moment::both}};
    // Unload: the library stays, and whatever runs goes on. A reload gets
    // the same library, which sees the jobs and stops them; jobs still
    // running at exit are stopped there, a recording completed.
    for (const auto& [name, moment] : moments)
        for (bool reload : {true, false}) {
            const bool recording = moment == Moment::recording || moment == Moment::both;
            const bool playing = moment == Moment::playing || moment == Moment::both;
            if (reload && moment == Moment::idle)
                continue;
            Row row{std::string("dlclose while ") + name +
                        (reload ? ", a reload stops the jobs" : ", then exit"),
                    [=](Host& host) {
                        host.Load();
                        Bring(host, moment);
                        host.Unload();
                        host.Load();
                        if (host.PlayStatus() != playing || host.RecStatus() != recording)
                            host.Find("the reload does not see the jobs that run");
                        if (!reload)
                            return;
                        if (playing && host.StopPlay() != 0)
                            host.Find("the reload's KxStopPlayFile did not answer 0");
                        if (recording && host.StopRec() != 1)
                            host.Find("the reload's KxStopRecFile did not answer 1");
                        if (recording)
                            host.CheckRecording("rec.wav", 960);
                    }};
            row.recordingCompletedAtExit = recording && !reload;
            rows.push_back(row);
        }
    // Unload after a stop gave up on the capture thread, blocked writing
    // into a FIFO whose reader stalls; the reader drains after the unload.
    rows.push_back({"dlclose after a stop gave up on a thread", [](Host& host) {
                        const std::string fifo = host.Path("rec.fifo");
                        mkfifo(fifo.c_str(), 0600);
                        std::atomic<bool> opened{false}, drain{false};
                        std::thread reader([&] {
                            const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                            fcntl(fd, F_SETPIPE_SZ, 4096);
                            opened = true;
                            while (!drain)
                                Sleep(10);
                            char buffer[4096];
                            pollfd data{fd, POLLIN, 0};
                            while (poll(&data, 1, 3000) > 0 &&
                                   read(fd, buffer, sizeof buffer) > 0) {
                            }
                            close(fd);
                        });
                        while (!opened)
                            Sleep(10);
                        host.Load();
                        host.lib.startRec(fifo.c_str());
                        Sleep(1500);
                        host.StopRec();
                        host.Unload();
                        drain = true;
                        Sleep(3000);
                        reader.join();
                    }});
    // exit() from the main thread while another host thread is inside a call.
    for (const char* function : kFunctions)
        rows.push_back({std::string("exit while inside ") + function, [function](Host& host) {
                            CleanUpSlowlyAtExit();
                            host.Load();
                            if (std::string(function) == "KxPlayStatus")
                                Bring(host, Moment::playing);
                            KeepCalling(host, function);
                            Sleep(700);
                            host.Report();
                            exit(0);
                        }});
    // pthread_cancel of a host thread at several moments of its calls to
    // each function; then the host's next calls answer as usual. The
    // library's load ("Log Started") already runs on a thread whose
    // cancellation is pending.
    for (const char* function : kFunctions)
        rows.push_back({std::string("pthread_cancel inside ") + function, [function](Host& host) {
                            std::thread([&host] {
                                pthread_cancel(pthread_self());
                                host.Load();
                                pthread_testcancel();
                            }).join();
                            if (!host.lib.handle)
                                return host.Find("the load was cancelled");
                            if (std::string(function) == "KxPlayStatus")
                                Bring(host, Moment::playing);
                            for (int delayMs : {0, 40, 400, 1700})
                                CancelInside(host, function, delayMs);
                            RecordAround(
                                host,
                                [&host] {
                                    if (host.RecStatus() != 1 || host.StartPlay("play.wav") != 1 ||
                                        host.PlayStatus() != 1 || host.StopPlay() != 0)
                                        host.Find(
                                            "the calls after the cancellations did not answer");
                                },
                                960);
                        }});
    // SIGKILL in a recording's first second: the file is valid from its
    // header's first write on, its RIFF chunk holding the data chunk, whose
    // sound is the input's start (declared from the first buffer on), and it
    // plays.
    for (int killedAfterMs : {100, 250, 500, 1000})
        rows.push_back(
            {"SIGKILL " + std::to_string(killedAfterMs) + " ms into a recording",
             [killedAfterMs](Host& host) {
                 int started[2];
                 if (pipe(started) != 0)
                     return host.Find("no pipe");
                 fflush(nullptr);
                 const pid_t recorder = fork();
                 if (recorder == 0) {
                     g_forkedChildOfHost = true;
                     host.Load();
                     const char answer =
                         static_cast<char>(host.lib.startRec(host.Path("rec.wav").c_str()));
                     (void)!write(started[1], &answer, 1);
                     for (;;)
                         pause();
                 }
                 char answer = 0;
                 (void)!read(started[0], &answer, 1);
                 Sleep(killedAfterMs);
                 kill(recorder, SIGKILL);
                 waitpid(recorder, nullptr, 0);
                 const Bytes file = kxtest::ReadFile(host.Path("rec.wav"));
                 const uint32_t riff = file.size() >= 44 ? kxtest::ReadLe32(file, 4) : 0;
                 const uint32_t data = file.size() >= 44 ? kxtest::ReadLe32(file, 40) : 0;
                 const Bytes input = Input();
                 if (answer != 1)
                     host.Find("the recording did not start");
                 else if (riff < 36 + uint64_t{data} || 8 + uint64_t{riff} > file.size())
                     host.Find("not a valid WAVE file: " + std::to_string(file.size()) +
                               " bytes, RIFF size " + std::to_string(riff) + ", data size " +
                               std::to_string(data));
                 else if (!std::equal(file.begin() + 44, file.begin() + 44 + data, input.begin()))
                     host.Find("the sound is not the input's start");
                 else if (killedAfterMs >= 500 && data == 0)
                     host.Find("no sound declared: the first buffer brings the sizes up to date");
                 host.Load();
                 if (host.StartPlay("rec.wav") != 1)
                     host.Find("KxStartPlayFile did not answer 1 on the file");
                 host.StopPlay();
             }});
    rows.push_back({"exit while a recording stop is in progress", [](Host& host) {
                        CleanUpSlowlyAtExit();
                        host.Load();
                        Bring(host, Moment::both);
                        std::thread([&host] { host.lib.stopRec(); }).detach();
                        Sleep(300);
                        host.Report();
                        exit(0);
                    }});
    // Loading and unloading costs nothing once loaded.
    rows.push_back({"1000 dlopen and dlclose cycles", [](Host& host) {
                        host.Load();
                        host.Unload();
                        const long before = ResidentKiB();
                        for (int i = 0; i < 1000; ++i) {
                            host.Load();
                            host.Unload();
                        }
                        if (ResidentKiB() - before > 1024)
                            host.Find("1000 cycles grew the resident memory by " +
                                      std::to_string(ResidentKiB() - before) + " KiB");
                    }});
    // The audio server frozen (SIGSTOP) when the host unloads the library,
    // stops its jobs or exits: nothing waits without a bound, and once the
    // server goes on (SIGCONT) the host lives on, its recordings complete.
    struct Frozen {
        const char* name;
        Moment moment;
        bool stopFirst, exitFrozen;
    };
    for (const Frozen& frozen :
         {Frozen{"dlclose while playing", Moment::playing, false, false},
          Frozen{"dlclose while recording", Moment::recording, false, false},
          Frozen{"dlclose while playing and recording", Moment::both, false, false},
          Frozen{"dlclose after both were stopped", Moment::both, true, false},
          Frozen{"exit while playing and recording", Moment::both, false, true}}) {
        Row row{std::string("frozen server: ") + frozen.name, [frozen](Host& host) {
                    host.Load();
                    Bring(host, frozen.moment);
                    host.server()->Signal(SIGSTOP);
                    if (frozen.stopFirst) {
                        host.StopPlay();
                        host.StopRec();
                    }
                    if (frozen.exitFrozen) {
                        host.Report();
                        exit(0);
                    }
                    host.Unload();
                    host.server()->Signal(SIGCONT);
                    Sleep(5000);
                }};
        row.server = true;
        row.recordingCompletedAtExit = frozen.moment != Moment::playing;
        rows.push_back(row);
    }
    // fork: the child exits, or calls each function; the parent's jobs go on.
    for (const auto& [name, moment] : moments) {
        rows.push_back({std::string("fork while ") + name + ", the child exits",
                        [moment = moment](Host& host) {
                            host.Load();
                            Bring(host, moment);
                            if (!ForkedChildEndsCleanly(kForkedExitBound, [] {}))
                                host.Find("the forked child did not exit cleanly");
                            if (moment == Moment::recording || moment == Moment::both) {
                                Sleep(500);
                                host.StopRec();
                                host.CheckRecording("rec.wav", 8000);
                            }
                        }});
        if (moment == Moment::idle)
            continue;
        rows.push_back({std::string("fork while ") + name + ", the child calls each function",
                        [moment = moment](Host& host) {
                            host.Load();
                            Bring(host, moment);
                            if (!ForkedChildEndsCleanly(15, [&host] {
                                    const int answers[] = {
                                        host.StartRec("child.wav"), host.StopRec(),
                                        host.StartPlay("play.wav"), host.StopPlay(),
                                        host.PlayStatus(),          host.RecStatus()};
                                    const int idle[] = {0, 0, -1, 0, 0, 0};
                                    if (!std::equal(answers, answers + 6, idle) ||
                                        kxtest::FileExists(host.Path("child.wav")))
                                        _exit(3);
                                }))
                                host.Find("the forked child's calls did not answer as idle");
                            if (moment == Moment::recording || moment == Moment::both) {
                                Sleep(500);
                                host.StopRec();
                                host.CheckRecording("rec.wav", 8000);
                            }
                        }});
    }
    // A fork races threads that log, or a playback at a hundred times the
    // real pace: no child may hang in its exit on what a parent thread held.
    for (bool logging : {true, false})
        rows.push_back({logging ? "200 forks beside four logging threads"
                                : "200 forks during a playback at 100 times its pace",
                        [logging](Host& host) {
                            setenv("KALDRIX_VIRTUAL_SPEED", "100", 1);
                            host.Load();
                            for (int i = 0; logging && i < 4; ++i)
                                std::thread([&host] {
                                    for (;;)
                                        host.lib.startPlay(host.Path("missing.wav").c_str());
                                }).detach();
                            int hung = 0;
                            for (int i = 0; i < 200 && hung < 3; ++i) {
                                if (!logging && i % 10 == 0)
                                    host.lib.startPlay(host.Path("play.wav").c_str());
                                hung += !ForkedChildEndsCleanly(kForkedExitBound, [] {});
                            }
                            if (hung)
                                host.Find(std::to_string(hung) + " forked children hung or failed");
                            host.Report();
                            _exit(0);
                        }});
    // Signals: one the host sends itself ends it as without the library; a
    // stack overflow reaches the host's own handler on its alternate stack.
    for (int signal : {SIGSEGV, SIGFPE}) {
        Row row{std::string("kill -") + strsignal(signal) + " to a recording host",
                [signal](Host& host) {
                    host.Load();
                    Bring(host, Moment::recording);
                    host.Report();
                    // The address sanitizer's own handler reports the signal
                    // (with exit status 1): its report is no finding here.
                    if (kUnderAddressSanitizer)
                        dup2(open("/dev/null", O_WRONLY), 2);
                    kill(getpid(), signal);
                    Sleep(3000);
                    host.Find("still running after the signal");
                }};
        row.expectedSignal = kUnderAddressSanitizer ? 0 : signal;
        row.expectedExit = kUnderAddressSanitizer ? 1 : 0;
        rows.push_back(row);
    }
    Row overflow{"stack overflow under a host handler on an alternate stack", [](Host& host) {
                     host.Load();
                     Bring(host, Moment::playing);
                     static char stack[1 << 16];
                     stack_t alternate{};
                     alternate.ss_sp = stack;
                     alternate.ss_size = sizeof stack;
                     sigaltstack(&alternate, nullptr);
                     struct sigaction action {};
                     action.sa_handler = [](int) { _exit(kOverflowExit); };
                     action.sa_flags = SA_ONSTACK;
                     sigaction(SIGSEGV, &action, nullptr);
                     host.Report();
                     const rlimit small{1 << 20, 1 << 20};
                     setrlimit(RLIMIT_STACK, &small);
                     std::function<int(int)> deeper = [&deeper](int depth) {
                         volatile char pad[4096];
                         pad[0] = static_cast<char>(depth);
                         return deeper(depth + 1) + pad[0];
                     };
                     deeper(0);
                 }};
    overflow.expectedExit = kOverflowExit;
    rows.push_back(overflow);
    // Standard output that takes nothing: no call waits on it, nothing is lost.
    Row unread{"stdout an unread pipe while recording", [](Host& host) {
                   RecordAround(
                       host,
                       [&host] {
                           LogMany(host, 300);
                           Sleep(2000);
                       },
                       16000 * 2);
                   host.Unload();
               }};
    unread.output = Row::unreadPipe;
    rows.push_back(unread);
    Row unreadUnload{"stdout an unread pipe, dlclose then exit while recording", [](Host& host) {
                         host.Load();
                         Bring(host, Moment::recording);
                         LogMany(host, 300);
                         host.Unload();
                     }};
    unreadUnload.output = Row::unreadPipe;
    unreadUnload.recordingCompletedAtExit = true;
    rows.push_back(unreadUnload);
    Row closed{"stdout a pipe without a reader", [](Host& host) {
                   RecordAround(
                       host,
                       [&host] {
                           LogMany(host, 60);
                           Sleep(1000);
                       },
                       8000);
                   host.Unload();
               }};
    closed.output = Row::closedPipe;
    rows.push_back(closed);
    Row terminal{"stdout a stopped terminal while recording", [](Host& host) {
                     RecordAround(
                         host,
                         [&host] {
                             LogMany(host, 100);
                             Sleep(1000);
                         },
                         8000);
                     host.Unload();
                 }};
    terminal.output = Row::stoppedTerminal;
    rows.push_back(terminal);
    // A host's own fault handlers keep their own stack and their one shot.
    // A handler without SA_ONSTACK that needs 64 KiB runs on the thread's
    // stack, not on the small alternate stack (a guard page below it) that a
    // language runtime sets up.
    rows.push_back({"raise SIGSEGV to a host handler without SA_ONSTACK, small alternate stack",
                    [](Host& host) {
                        static std::atomic<bool> ran{false};
                        struct sigaction action {};
                        action.sa_handler = [](int) {
                            volatile char frame[1 << 16];
                            for (size_t i = 0; i < sizeof frame; i += 512)
                                frame[i] = 1;
                            ran = true;
                        };
                        sigaction(SIGSEGV, &action, nullptr);
                        const long page = sysconf(_SC_PAGESIZE);
                        char* const area =
                            static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
                        mprotect(area, page, PROT_NONE);
                        const stack_t alternate{area + page, 0, static_cast<size_t>(2 * page)};
                        sigaltstack(&alternate, nullptr);
                        host.Load();
                        host.PlayStatus();
                        raise(SIGSEGV);
                        if (!ran)
                            host.Find("the host's handler did not run");
                        host.Unload();
                    }});
    // A one-shot handler (SA_RESETHAND) runs once and the default action
    // takes the next signal (in a forked child here), while a fault inside a
    // call is still answered.
    rows.push_back({"a host's one-shot SIGSEGV handler, then a bad file name", [](Host& host) {
                        static std::atomic<int> calls{0};
                        struct sigaction action {};
                        action.sa_handler = [](int) { ++calls; };
                        action.sa_flags = SA_RESETHAND;
                        sigaction(SIGSEGV, &action, nullptr);
                        host.Load();
                        host.PlayStatus();
                        raise(SIGSEGV);
                        const char* const unreadable =
                            static_cast<const char*>(mmap(nullptr, sysconf(_SC_PAGESIZE), PROT_NONE,
                                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
                        if (host.Timed("KxStartPlayFile", kStartBound,
                                       [&] { return host.lib.startPlay(unreadable); }) != -1)
                            host.Find("a start with an unreadable file name did not answer -1");
                        if (calls != 1)
                            host.Find("the host's handler ran " + std::to_string(calls) + " times");
                        fflush(nullptr);
                        const pid_t child = fork();
                        if (child == 0) {
                            g_forkedChildOfHost = true;
                            raise(SIGSEGV);
                            _exit(0);
                        }
                        int status = 0;
                        waitpid(child, &status, 0);
                        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV)
                            host.Find("a second SIGSEGV did not take the default action");
                        host.Unload();
                    }});
    // Once a record could not be echoed in time, calls no longer wait for
    // the echo: 100 logging calls into a full pipe return within 1 s.
    Row full{"stdout a full pipe: 100 logging calls within 1 s", [](Host& host) {
                 host.Load();
                 LogMany(host, 50);
                 const auto begun = Clock::now();
                 LogMany(host, 100);
                 if (Since(begun) > 1)
                     host.Find("100 calls took " + std::to_string(Since(begun)) + " s");
                 host.Unload();
             }};
    full.output = Row::unreadPipe;
    rows.push_back(full);
    // A standard descriptor that the host closed before the load, or closed
    // after it and opened a file of its own on: no file of the library's
    // takes its number, the echo (on standard error for descriptor 2) writes
    // nothing into the host's file, and the recording and the playback are
    // exact. Without the marker (and its day's file) the recording is the
    // first file the library opens.
    for (int closed : {0, 1, 2})
        for (bool afterLoad : {false, true}) {
            if (afterLoad && closed == 0)
                continue; // the echo never writes to descriptor 0
            const std::string descriptor = std::to_string(closed);
            rows.push_back(
                {"descriptor " + descriptor +
                     (afterLoad ? " closed after the load and opened on a host's file"
                                : " closed at the load") +
                     ", recording and playing",
                 [closed, afterLoad, descriptor](Host& host) {
                     if (closed == 2)
                         setenv("KALDRIX_ECHO", "stderr", 1);
                     if (closed != 0)
                         unlink(host.Path("tracelog.is").c_str());
                     if (!afterLoad)
                         close(closed);
                     host.Load();
                     if (afterLoad) {
                         close(closed);
                         if (open(host.Path("host.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC,
                                  0600) != closed)
                             host.Find("the host's file did not take descriptor " + descriptor);
                     }
                     if (host.StartRec("rec.wav") != 1)
                         host.Find("recording did not start");
                     LogMany(host, 20);
                     if (host.StartPlay("play.wav") != 1)
                         host.Find("playback did not start");
                     Sleep(1000);
                     if (!afterLoad && fcntl(closed, F_GETFD) != -1)
                         host.Find("a file of the library's took descriptor " + descriptor);
                     if (host.StopPlay() != 0)
                         host.Find("KxStopPlayFile did not answer 0");
                     if (host.StopRec() != 1)
                         host.Find("KxStopRecFile did not answer 1");
                     host.CheckRecording("rec.wav", 8000, true);
                     host.CheckPlayed();
                     if (afterLoad && !kxtest::ReadFile(host.Path("host.out")).empty())
                         host.Find("the echo wrote into the host's file");
                 }});
        }
    return rows;
}

// Gives the host the standard output its row asks for; the watcher keeps
// the other end (unread) in `keep`.
void SetOutput(Row::Output output, int& keep) {
    int ends[2];
    switch (output) {
    case Row::file:
        return;
    case Row::unreadPipe:
    case Row::closedPipe:
        if (pipe(ends) != 0)
            return;
        fcntl(ends[0], F_SETPIPE_SZ, 4096);
        dup2(ends[1], 1);
        close(ends[1]);
        if (output == Row::closedPipe)
            close(ends[0]);
        else
            keep = ends[0];
        return;
    case Row::stoppedTerminal: {
        int master, slave;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        tcflow(slave, TCOOFF);
        dup2(slave, 1);
        close(slave);
        keep = master;
        return;
    }
    }
}

// The watcher: runs the row's host in a child and judges how it ended.
void Watch(const Row& row, const std::string& dir, std::vector<std::string>& findings) {
    int keep = -1;
    std::unique_ptr<Server> server;
    if (row.server) {
        server = std::make_unique<Server>();
        if (!server->started()) {
            findings.push_back("the row's audio server did not start");
            return;
        }
    }
    fflush(nullptr);
    const auto begun = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        SetOutput(row.output, keep);
        Host host(dir);
        if (server)
            host.UseServer(*server);
        row.host(host);
        host.Report();
        exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Since(begun) > kHostLimitS) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            findings.push_back("the host did not end within " + std::to_string(kHostLimitS) + " s");
            return;
        }
        Sleep(20);
    }
    if (keep >= 0)
        close(keep);
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (signal != row.expectedSignal || (!signal && code != row.expectedExit))
        findings.push_back("the host ended " +
                           (signal ? "by signal " + std::to_string(signal)
                                   : "with status " + std::to_string(code)) +
                           " where " +
                           (row.expectedSignal ? "signal " + std::to_string(row.expectedSignal)
                                               : "status " + std::to_string(row.expectedExit)) +
                           " was due");
    const std::string text = kxtest::ReadText(dir + "/host-findings");
    for (size_t at = 0, next; at < text.size(); at = next + 1) {
        next = text.find('\n', at);
        if (next == std::string::npos)
            next = text.size();
        if (next > at)
            findings.push_back(text.substr(at, next - at));
    }
    if (Since(begun) > kExitBound + kUnloadBound + 10)
        findings.push_back("the host took " + std::to_string(Since(begun)) + " s");
    if (row.recordingCompletedAtExit) {
        const Bytes input = Input();
        for (const std::string& finding :
             RecordingFindings(dir + "/rec.wav", 0, server ? nullptr : &input))
            findings.push_back("after the exit: " + finding);
    }
}

TEST(LifecycleMatrix, WhateverTheHostsProcessDoesTheLibraryNeverCrashesHangsOrLosesARecording) {
    const auto begun = Clock::now();
    kxtest::TempDir root;
    std::vector<kxtest::ChildRun> runs;
    const char* filter = getenv("KALDRIX_MATRIX_FILTER");
    const bool serverRows = kxtest::EnvNumber("KALDRIX_MATRIX_SERVER", 0) != 0;
    for (const Row& row : Rows()) {
        if ((filter && row.name.find(filter) == std::string::npos) || row.server != serverRows)
            continue;
        kxtest::ChildRun run;
        run.name = row.name;
        run.body = [row](const std::string& dir, std::vector<std::string>& findings) {
            Watch(row, dir, findings);
        };
        runs.push_back(run);
    }
    kxtest::RunChildren(runs, root.path(), kxtest::EnvNumber("KALDRIX_MATRIX_JOBS", 8), kRowLimitS);
    kxtest::ReportFindings(runs);
    printf("lifecycle matrix: %zu rows, %lld s\n", runs.size(),
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begun).count()));
}

} // namespace
