// SPDX-License-Identifier: MIT
// The kaldrix program as a user runs it: its exit statuses and one-line
// messages, what `info` says about good and broken files, and recording,
// playback and duplex on the virtual devices checked through their files;
// the devices it lists against the library's own, the repair of a recording
// whose host was killed, and the library's log on a terminal and off one.
#include "platform/platform.h"
#include "support/AudioRig.h"
#include "support/TestSupport.h"
#include "wave/RecordingHeader.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using kxtest::Bytes;
using kxtest::ReadFile;
using kxtest::ReadLe32;
using kxtest::RiffWriter;

// Built next to the tests by tools/kaldrix.
const std::string kProgram = std::string(KALDRIX_TEST_BINARY_DIR) + "/../tools/kaldrix/kaldrix";

constexpr int kUsage = 2, kInputUnreadable = 3, kMalformed = 4, kNoDevice = 5, kCannotCreate = 6,
              kNoLibrary = 7, kFormatRefused = 8, kResultsUnwritten = 9, kInterrupted = 130;

struct Outcome {
    int status = -1; // exit status, or -1 when the program did not exit by itself
    std::string out;
    std::string err;
};

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

size_t Lines(const std::string& text) {
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
    for (auto& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}

// Waits for the child's end for up to a minute; kills it after that.
int WaitFor(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// How a run's standard streams and environment differ from the usual ones.
struct Streams {
    int closed = -1;              // a standard descriptor the program starts without
    const char* out = nullptr;    // a file for standard output, not read back
    std::string tag;              // of the output files, for runs side by side
    std::vector<std::string> env; // NAME=VALUE, over the test's own environment
};

// The program with standard input from /dev/null and its two outputs in files.
class Child {
public:
    Child(const kxtest::TempDir& dir, std::vector<std::string> args, const Streams& streams = {})
        : m_out(dir.File(streams.tag + "stdout.txt")), m_err(dir.File(streams.tag + "stderr.txt")) {
        const std::string paths[] = {"/dev/null", streams.out ? streams.out : m_out, m_err};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < 3; ++fd)
            if (fd == streams.closed)
                posix_spawn_file_actions_addclose(&actions, fd);
            else
                posix_spawn_file_actions_addopen(&actions, fd, paths[fd].c_str(),
                                                 fd ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY,
                                                 0644);
        m_read[0] = !streams.out && streams.closed != 1;
        m_read[1] = streams.closed != 2;
        std::vector<std::string> env = streams.env;
        for (char** entry = environ; *entry; ++entry) {
            const std::string setting = *entry, name = setting.substr(0, setting.find('=') + 1);
            if (std::none_of(streams.env.begin(), streams.env.end(),
                             [&name](const std::string& own) { return own.rfind(name, 0) == 0; }))
                env.push_back(setting);
        }
        std::vector<char*> envp;
        for (std::string& setting : env)
            envp.push_back(&setting[0]);
        envp.push_back(nullptr);
        auto argv = Argv(args);
        if (posix_spawn(&m_pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    void Signal(int signal) const { kill(m_pid, signal); }
    pid_t pid() const { return m_pid; }

    Outcome Finish() {
        Outcome outcome;
        if (m_pid > 0)
            outcome.status = WaitFor(m_pid);
        outcome.out = m_read[0] ? Text(ReadFile(m_out)) : "";
        outcome.err = m_read[1] ? Text(ReadFile(m_err)) : "";
        return outcome;
    }

private:
    std::string m_out, m_err;
    bool m_read[2];
    pid_t m_pid = -1;
};

Outcome RunKaldrix(const kxtest::TempDir& dir, std::vector<std::string> args,
                   const Streams& streams = {}) {
    return Child(dir, std::move(args), streams).Finish();
}

// The program on an 80-column terminal: everything it writes, and `input` typed into it
// once `typeAfter` has passed.
Outcome RunOnTerminal(std::vector<std::string> args, const std::string& input,
                      std::chrono::milliseconds typeAfter) {
    int terminal = -1;
    auto argv = Argv(args);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        execve(kProgram.c_str(), argv.data(), environ);
        _exit(127);
    }
    Outcome outcome;
    if (pid < 0)
        return outcome;
    const auto start = std::chrono::steady_clock::now();
    bool typed = input.empty();
    char buffer[4096];
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
        if (!typed && std::chrono::steady_clock::now() - start >= typeAfter)
            typed = write(terminal, input.data(), input.size()) >= 0;
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 50) == 1) {
            const ssize_t count = read(terminal, buffer, sizeof buffer);
            if (count <= 0)
                break; // the program has gone and closed the terminal
            outcome.err.append(buffer, size_t(count));
        }
    }
    close(terminal);
    outcome.status = WaitFor(pid);
    return outcome;
}

// What a shell command writes to the pipe that is its standard output; its
// exit status must be 0.
std::string ShellOutput(const std::string& command) {
    std::string output;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char buffer[256];
    for (size_t count; (count = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, count);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return output;
}

// Every run keeps the library's log and devices private to its test.
class KaldrixCliTest : public ::testing::Test {
protected:
    kxtest::TempDir dir;
    kxtest::ScopedEnv logDir{"KALDRIX_LOG_DIR", dir.path()};
    kxtest::ScopedEnv audio{"KALDRIX_AUDIO", "virtual"};

    std::string Write(const std::string& name, const Bytes& bytes) {
        kxtest::WriteFile(dir.File(name), bytes);
        return dir.File(name);
    }

    void SetUp() override {
        ASSERT_EQ(access(kProgram.c_str(), X_OK), 0) << kProgram << " is not built";
    }
};

using KaldrixCli = KaldrixCliTest;
using KaldrixCliRealTime = KaldrixCliTest;

// The failure contract: the status, and one line on standard error that
// names the problem.
void ExpectFailure(const Outcome& outcome, int status, const std::string& detail) {
    EXPECT_EQ(outcome.status, status) << outcome.err;
    EXPECT_EQ(Lines(outcome.err), 1u) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("kaldrix: ", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find(detail), std::string::npos) << outcome.err;
}

// A complete file of the recorder: its header (44 bytes, or 68 for the
// extensible format) with both sizes patched, data in whole pieces of
// `piece` bytes (the library's 960-byte buffers, or frames of a recording
// cut to its seconds). Returns the sound data.
Bytes RecordedData(const std::string& path, uint32_t piece = 960, uint32_t header = 44) {
    const Bytes file = ReadFile(path);
    EXPECT_GE(file.size(), header);
    if (file.size() < header)
        return {};
    const uint32_t data = ReadLe32(file, header - 4);
    EXPECT_EQ(file.size(), header + data);
    EXPECT_EQ(ReadLe32(file, 4), header - 8 + data);
    EXPECT_EQ(data % piece, 0u);
    return Bytes(file.begin() + header, file.end());
}

bool StartsWith(const Bytes& whole, const Bytes& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST_F(KaldrixCli, InfoDescribesWaveFilesAndNamesWhatIsWrongWithBrokenOnes) {
    const Bytes mono = kxtest::PcmWave(1, 8000, 16, kxtest::Pattern(16000));
    RiffWriter dataFirst, noFormat, shortFormat, zeroChannels, oddChunkFirst, huge;
    dataFirst.Chunk("data", Bytes(100)).Chunk("fmt ", kxtest::PcmFormat(1, 8000, 16));
    noFormat.Chunk("LIST", Bytes(4)).Chunk("data", Bytes(100));
    shortFormat.Chunk("fmt ", Bytes(12)).Chunk("data", Bytes(100));
    zeroChannels.Chunk("fmt ", kxtest::PcmFormat(0, 8000, 16)).Chunk("data", Bytes(100));
    oddChunkFirst.Chunk("LIST", Bytes(3)).Chunk("fmt ", kxtest::PcmFormat(1, 8000, 8));
    oddChunkFirst.Chunk("data", Bytes(4000));
    huge.Chunk("fmt ", kxtest::PcmFormat(1, 8000, 16)).Tag("data").U32(0x80000000u);
    Bytes leadingChunk = RiffWriter().Chunk("JUNK", Bytes(4)).bytes();
    leadingChunk.insert(leadingChunk.end(), mono.begin(), mono.end());
    Bytes unfinished = mono; // as the recorder leaves it until its stop
    unfinished[4] = unfinished[5] = unfinished[6] = unfinished[7] = 0;
    Bytes killed = unfinished; // as earlier builds left a host killed in its first second
    killed[40] = killed[41] = killed[42] = killed[43] = 0;
    // Killed after the recorder's last update of the sizes.
    Bytes killedLater = kxtest::PcmWave(1, 8000, 16, Bytes(960));
    killedLater.insert(killedLater.end(), 960, 0);
    // Killed before the first update, in a format of the extensible header.
    const RecordingHeader::Header wide({48000, 2, 24});
    Bytes killedWide(wide.Start(), wide.Start() + wide.Size());
    killedWide.insert(killedWide.end(), 2880 + 5, 0);

    struct Case {
        const char* name;
        Bytes bytes;
        int status;
        std::vector<std::string> says;
    } cases[] = {
        {"mono", mono, 0, {"PCM, mono, 8000 Hz, 16-bit", "16000 bytes at offset 44", "(1.000 s)"}},
        {"stereo",
         kxtest::PcmWave(2, 44100, 16, Bytes(44100 * 4 / 2)),
         0,
         {"PCM, stereo, 44100 Hz, 16-bit", "88200 bytes", "(0.500 s)"}},
        {"odd chunk first",
         RiffWriter::Riff("WAVE", oddChunkFirst.bytes()),
         0,
         {"8-bit", "4000 bytes at offset 56", "(0.500 s)"}},
        {"after a leading chunk", leadingChunk, 0, {"16000 bytes at offset 56", "(1.000 s)"}},
        {"cut short",
         Bytes(mono.begin(), mono.end() - 6000),
         0,
         {"declares 16000 bytes but the file holds only 10000", "(0.625 s)"}},
        {"empty", {}, kMalformed, {"holds only 0 bytes"}},
        {"not riff",
         Bytes{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'},
         kMalformed,
         {"does not start with \"RIFF\" but with \"RIFX\""}},
        {"avi", RiffWriter::Riff("AVI ", {}), kMalformed, {"form \"AVI \""}},
        {"data first",
         RiffWriter::Riff("WAVE", dataFirst.bytes()),
         kMalformed,
         {"\"data\" chunk comes before its \"fmt \" chunk"}},
        {"no format",
         RiffWriter::Riff("WAVE", noFormat.bytes()),
         kMalformed,
         {"no \"fmt \" chunk"}},
        {"short format",
         RiffWriter::Riff("WAVE", shortFormat.bytes()),
         kMalformed,
         {"holds 12 bytes"}},
        {"zero channels",
         RiffWriter::Riff("WAVE", zeroChannels.bytes()),
         kMalformed,
         {"0 channels"}},
        {"huge data",
         RiffWriter::Riff("WAVE", huge.bytes()),
         0,
         {"declares 2147483648 bytes but the file holds only 0"}},
        {"riff size 0", unfinished, kMalformed, {"(an unfinished recording?)"}},
        {"killed recording",
         killed,
         0,
         {"an unfinished recording: its header declares 0 bytes of sound of the 16000",
          "'kaldrix repair "}},
        {"killed after an update",
         killedLater,
         0,
         {"declares 960 bytes of sound of the 1920", "960 bytes at offset 44"}},
        {"killed at 48 kHz",
         killedWide,
         0,
         {"extensible, stereo, 48000 Hz, 24-bit", "of sound of the 2880 it holds"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = RunKaldrix(dir, {"info", Write("file.wav", c.bytes)});
        if (c.status == 0) {
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_EQ(outcome.err, "");
            for (const std::string& text : c.says)
                EXPECT_NE(outcome.out.find(text), std::string::npos) << outcome.out;
        } else {
            ExpectFailure(outcome, c.status, c.says.front());
        }
    }
    const Outcome json = RunKaldrix(dir, {"info", "--json", Write("killed.wav", killed)});
    EXPECT_NE(json.out.find("\"unfinished\": true"), std::string::npos) << json.out;
    ExpectFailure(RunKaldrix(dir, {"info", dir.File("missing.wav")}), kInputUnreadable,
                  "No such file");
    ExpectFailure(RunKaldrix(dir, {"info", dir.path()}), kInputUnreadable, "folder");
    // 4 GiB of empty chunks in a sparse file: the search gives up as the
    // player's does, instead of walking them for many minutes.
    const std::string sparse =
        Write("sparse.wav", RiffWriter().Tag("RIFF").U32(0xFFFFFFFFu).Tag("WAVE").bytes());
    if (truncate(sparse.c_str(), off_t(1) << 32) == 0)
        ExpectFailure(RunKaldrix(dir, {"info", sparse}), kMalformed, "no \"fmt \" chunk");
}

TEST_F(KaldrixCli, CommandLineMistakesExitWithTheUsageStatus) {
    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"frob"},
        {"play"},
        {"play", "a.wav", "b.wav"},
        {"info", "a.wav", "--seconds", "2"},
        {"record", "a.wav", "--seconds"},
        {"record", "a.wav", "--seconds", "0"},
        {"record", "a.wav", "--seconds", "2x"},
        {"record", "a.wav", "--seconds=-1"},
        {"record", "a.wav", "--seconds", "300000"},
        {"record", "a.wav", "--louder"},
        {"record", "a.wav", "-r", "7999"},
        {"record", "a.wav", "--channels=0"},
        {"duplex", "a.wav", "b.wav", "-f", "S12_LE"},
        {"play", "a.wav", "-r", "8000"},
        {"play", "a.wav", "-D"},
        {"duplex", "a.wav"},
        {"play", ""},
    };
    for (const auto& args : mistakes) {
        SCOPED_TRACE(::testing::PrintToString(args));
        ExpectFailure(RunKaldrix(dir, args), kUsage, "kaldrix --help");
    }

    // After "--" a name that starts with a dash is a file, not an option.
    ExpectFailure(RunKaldrix(dir, {"info", "--", "-x.wav"}), kInputUnreadable, "-x.wav");
}

// Standard output carries the results alone, byte for byte, whatever the
// verbosity; the library's log never reaches it. One that does not take them
// (a full disk), or that was closed, fails the command.
TEST_F(KaldrixCli, StandardOutputCarriesOnlyTheResults) {
    const std::string wave = Write("a.wav", kxtest::PcmWave(1, 8000, 16, Bytes(16000)));
    const std::string missing = dir.File("missing.wav");
    const std::string report = "file:      " + wave +
                               "\n"
                               "format:    PCM, mono, 8000 Hz, 16-bit\n"
                               "           tag 1, 1 channel(s), 8000 samples/s, 16000 bytes/s, "
                               "2-byte blocks\n"
                               "data:      16000 bytes at offset 44\n"
                               "duration:  0:01.0 (1.000 s)\n";
    const std::string json = "{\"file\": \"" + wave +
                             "\", \"format\": \"PCM, mono, 8000 Hz, 16-bit\", \"formatTag\": 1, "
                             "\"channels\": 1, \"samplesPerSec\": 8000, \"avgBytesPerSec\": 16000, "
                             "\"blockAlign\": 2, \"bitsPerSample\": 16, \"dataBytes\": 16000, "
                             "\"dataOffset\": 44, \"seconds\": 1.000, \"unfinished\": false, "
                             "\"warnings\": []}";
    const std::string unreadable = "cannot read " + missing + ": No such file or directory";
    const std::string devices = "KALDRIX_AUDIO=virtual: the virtual devices\n"
                                "wave-out 0: KALDRIX VIRTUAL OUT  <- play\n"
                                "wave-in 0: KALDRIX VIRTUAL IN  <- record\n";
    const std::string devicesJson =
        "{\"choice\": \"KALDRIX_AUDIO=virtual: the virtual devices\", \"waveOut\": {\"devices\": "
        "[{\"id\": 0, \"name\": \"KALDRIX VIRTUAL OUT\", \"used\": true}], \"none\": null}, "
        "\"waveIn\": {\"devices\": [{\"id\": 0, \"name\": \"KALDRIX VIRTUAL IN\", \"used\": "
        "true}], \"none\": null}, \"alsaPcms\": []}\n";
    const std::string version =
        "kaldrix " KALDRIX_TEST_VERSION "\nCopyright (c) 2026 The KALDRIX developers\n"
        "License: MIT <https://opensource.org/license/mit>\n";
    const std::string help = RunKaldrix(dir, {"--help"}).out;
    EXPECT_EQ(help.rfind("usage: kaldrix [-q | -v] COMMAND ...\n\n", 0), 0u) << help;
    EXPECT_EQ(help.substr(help.size() - 32), "See kaldrix(1) for the details.\n");
    const std::string unwritten = "kaldrix: cannot write the results to standard output: ";
    const std::string full = unwritten + "No space left on device\n";
    enum Output { file, devFull, closed };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
        Output output = file;
    } cases[] = {
        {{"--version"}, 0, version, ""},
        // The library is loaded only by the commands that use it.
        {{"-v", "--version"}, 0, version, ""},
        {{"record", "--help", "--quiet"}, 0, help, ""},
        {{"-h"}, 0, help, ""},
        {{"frob"}, kUsage, "", "kaldrix: unknown command 'frob' (try 'kaldrix --help')\n"},
        {{"info", wave}, 0, report, ""},
        {{"-q", "info", wave, missing, wave},
         kInputUnreadable,
         report + "\n" + report,
         "kaldrix: " + unreadable + "\n"},
        {{"info", "--json", wave, missing},
         kInputUnreadable,
         "[" + json + ", {\"file\": \"" + missing + "\", \"error\": \"" + unreadable + "\"}]\n",
         "kaldrix: " + unreadable + "\n"},
        {{"devices"}, 0, devices, ""},
        {{"devices", "--json"}, 0, devicesJson, ""},
        {{"--help"}, kResultsUnwritten, "", full, devFull},
        {{"--version"}, kResultsUnwritten, "", full, devFull},
        {{"info", wave, missing},
         kResultsUnwritten,
         "",
         "kaldrix: " + unreadable + "\n" + full,
         devFull},
        // -v: through the copy of standard output kept beside the log's pipe.
        {{"-v", "devices"}, kResultsUnwritten, "", full, devFull},
        {{"info", wave}, kResultsUnwritten, "", unwritten + "Bad file descriptor\n", closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " output " + std::to_string(c.output));
        Streams streams;
        streams.out = c.output == devFull ? "/dev/full" : nullptr;
        streams.closed = c.output == closed ? 1 : -1;
        const Outcome outcome = RunKaldrix(dir, c.args, streams);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
    }
    // The same bytes through a pipe, as `kaldrix devices | grep` reads them.
    EXPECT_EQ(ShellOutput(kProgram + " devices -v 2>/dev/null"), devices);
}

TEST_F(KaldrixCli, EachFailureBeforeAnySoundHasItsOwnStatus) {
    const std::string good = Write("good.wav", kxtest::PcmWave(1, 8000, 16, Bytes(16000)));
    const std::string broken = Write("broken.wav", RiffWriter::Riff("AVI ", {}));
    ExpectFailure(RunKaldrix(dir, {"play", dir.File("missing.wav")}), kInputUnreadable,
                  "missing.wav");
    ExpectFailure(RunKaldrix(dir, {"play", broken}), kMalformed, "not a playable WAVE file");
    ExpectFailure(RunKaldrix(dir, {"record", dir.File("no/such/folder.wav")}), kCannotCreate,
                  "cannot create");
    ExpectFailure(RunKaldrix(dir, {"duplex", good, good}), kUsage, "while playing it");
    EXPECT_EQ(ReadFile(good).size(), 16044u) << "the file to play is untouched";

    const Outcome empty =
        RunKaldrix(dir, {"play", Write("empty.wav", kxtest::PcmWave(1, 8000, 16, {}))});
    EXPECT_EQ(empty.status, 0);
    EXPECT_NE(empty.err.find("nothing to play"), std::string::npos) << empty.err;

    // The virtual device plays PCM and float only; the library answers -1
    // for a refused format as for a missing device.
    Bytes muLaw = kxtest::PcmWave(1, 8000, 8, Bytes(8000));
    muLaw[20] = 7; // WAVE_FORMAT_MULAW
    const std::string refused = Write("mulaw.wav", muLaw);
    ExpectFailure(RunKaldrix(dir, {"play", refused}), kFormatRefused,
                  "wave-out 0 (KALDRIX VIRTUAL OUT) does not play the format of " + refused +
                      " (mu-law, mono, 8000 Hz, 8-bit)");
    ExpectFailure(RunKaldrix(dir, {"duplex", refused, dir.File("new.wav")}), kFormatRefused,
                  "does not play the format");

#ifdef KALDRIX_OLDER_LIBRARY
    // A library of 1.0 lacks KxStartRecFileFormat: -r, -c and -f say so and
    // create nothing; the default format still records.
    const Streams older{-1, nullptr, "", {"LD_PRELOAD=" KALDRIX_OLDER_LIBRARY}};
    ExpectFailure(RunKaldrix(dir, {"record", "-c", "2", dir.File("old.wav")}, older), kNoLibrary,
                  "libkaldrix.so.1 is too old for -r, -c and -f");
    EXPECT_FALSE(kxtest::FileExists(dir.File("old.wav")));
    EXPECT_EQ(RunKaldrix(dir, {"record", "--seconds", "0.1", dir.File("old.wav")}, older).status,
              0);
    EXPECT_EQ(RecordedData(dir.File("old.wav"), 2).size(), 1600u);
#endif
    kxtest::ScopedEnv noDevice("KALDRIX_AUDIO", "none");
    ExpectFailure(RunKaldrix(dir, {"play", refused}), kNoDevice, "no wave-out device");
    ExpectFailure(RunKaldrix(dir, {"play", good}), kNoDevice,
                  "playback device for " + good +
                      " (PCM, mono, 8000 Hz, 16-bit): no wave-out device: KALDRIX_AUDIO=none");
    ExpectFailure(
        RunKaldrix(dir, {"record", dir.File("new.wav")}), kNoDevice,
        "recording device for 8000 Hz 16-bit mono: no wave-in device: KALDRIX_AUDIO=none");
    EXPECT_FALSE(kxtest::FileExists(dir.File("new.wav"))) << "a failed recording leaves no file";
    // -D: the PCM asked for, checked in each direction the command uses.
    ExpectFailure(RunKaldrix(dir, {"record", "-D", "nosuch", dir.File("new.wav")}), kNoDevice,
                  "ALSA's capture PCM \"nosuch\" does not open: No such file or directory");
    ExpectFailure(RunKaldrix(dir, {"play", "--device=nosuch", good}), kNoDevice,
                  "on wave-out 0 (nosuch): ALSA's playback PCM \"nosuch\" does not open");
    ExpectFailure(RunKaldrix(dir, {"duplex", good, dir.File("new.wav")}), kNoDevice, "device");
}

// No command waits in the open of a path that is not a regular file: a FIFO
// that nobody opens from the other end, or a device. The files a command
// reads are refused with status 3, a recording target with 6 (the FIFO's
// reader sees nothing of it), each naming what the path is.
TEST_F(KaldrixCli, PathsThatAreNotRegularFilesAreRefusedAtOnce) {
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* command;
        std::string path;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"info", fifo, kInputUnreadable, "it is a FIFO"},
        {"play", fifo, kInputUnreadable, "it is a FIFO"},
        {"repair", fifo, kInputUnreadable, "it is a FIFO"},
        {"record", fifo, kCannotCreate, "it is a FIFO"},
        {"info", "/dev/zero", kInputUnreadable, "it is a character device"},
        {"repair", "/dev/zero", kInputUnreadable, "it is a character device"},
        {"record", "/dev/null", kCannotCreate, "it is a character device"},
        {"record", dir.path(), kCannotCreate, "it is a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.path);
        // A reader waiting on the FIFO, as a program that takes a recording
        // would; it must meet no end of file from the refused command.
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        const auto begun = std::chrono::steady_clock::now();
        ExpectFailure(RunKaldrix(dir, {c.command, c.path}), c.status, c.says);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
        // Linux raises POLLHUP for a reader once a writer has come and gone.
        pollfd hangUp{reader, POLLIN, 0};
        EXPECT_EQ(poll(&hangUp, 1, 0), 0) << "the FIFO was opened for writing";
        close(reader);
    }
}

TEST_F(KaldrixCliRealTime, RecordsForTheGivenSecondsThenPlaysTheRecordingBack) {
    const Bytes source = kxtest::Pattern(288000, 7);
    kxtest::WriteFile(dir.File("source.raw"), source);
    kxtest::ScopedEnv input("KALDRIX_VIRTUAL_IN", dir.File("source.raw"));
    kxtest::ScopedEnv output("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    const std::string file = dir.File("take.wav");

    // Exactly the frames asked for, though the library writes whole 60 ms
    // buffers; in the format asked for, which the input delivers byte for
    // byte from its file and the output plays back (each playback ends with
    // the library's 2 s hold, so not every row plays).
    const struct {
        std::vector<std::string> format;
        const char* seconds;
        uint32_t rate, channels, bits, header, bytes;
        bool plays;
    } rows[] = {
        {{}, "0.75", 8000, 1, 16, 44, 12000, true},
        {{"-r", "48000", "-c", "2", "-f", "S24_3LE"}, "0.5", 48000, 2, 24, 68, 144000, true},
        {{"--rate=22050", "--format", "u8"}, "0.4", 22050, 1, 8, 44, 8820, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        unlink(dir.File("played.raw").c_str());
        std::vector<std::string> args{"record", file, "--seconds", row.seconds};
        args.insert(args.end(), row.format.begin(), row.format.end());
        const Outcome record = RunKaldrix(dir, args);
        EXPECT_EQ(record.status, 0) << record.err;
        EXPECT_EQ(Lines(record.err), 2u)
            << "the device and the final line off a terminal: " << record.err;
        EXPECT_EQ(record.err.find('\r'), std::string::npos);
        EXPECT_EQ(
            record.err.rfind("recording " + file + " from wave-in 0 (KALDRIX VIRTUAL IN)\n", 0), 0u)
            << record.err;
        EXPECT_NE(record.err.find("recorded " + file), std::string::npos) << record.err;
        const Bytes data = RecordedData(file, row.channels * row.bits / 8, row.header);
        EXPECT_EQ(data.size(), row.bytes);
        const Bytes header = ReadFile(file);
        EXPECT_EQ(ReadLe32(header, 24), row.rate);
        EXPECT_EQ(header[22], row.channels);
        EXPECT_EQ(header[34], row.bits);
        EXPECT_TRUE(StartsWith(source, data)) << "the recording is what the input delivered";
        if (!row.plays)
            continue;

        const Outcome play = RunKaldrix(dir, {"play", file});
        EXPECT_EQ(play.status, 0) << play.err;
        EXPECT_EQ(play.err.rfind("playing " + file + " on wave-out 0 (KALDRIX VIRTUAL OUT)\n", 0),
                  0u)
            << play.err;
        EXPECT_NE(play.err.find("played " + file), std::string::npos) << play.err;
        EXPECT_TRUE(ReadFile(dir.File("played.raw")) == data) << "the device played the whole file";
    }
}

// Waits until `path` holds more than `size` bytes: the job is under way.
bool GrowsPast(const std::string& path, size_t size) {
    for (int i = 0; i < 500; ++i) {
        if (ReadFile(path).size() > size)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Also for a program started with standard input, output or error closed
// and the library's log shown: it holds the null device there, and neither
// its lines nor the log's reach the files. The runs go side by side.
TEST_F(KaldrixCliRealTime, DuplexPlaysOneFileWhileRecordingTheOther) {
    const Bytes music = kxtest::Pattern(16000, 3);
    const Bytes source = kxtest::Pattern(16000 * 8, 4);
    kxtest::WriteFile(dir.File("source.raw"), source);
    kxtest::ScopedEnv input("KALDRIX_VIRTUAL_IN", dir.File("source.raw"));
    const std::string played = Write("music.wav", kxtest::PcmWave(1, 8000, 16, music));

    const int closedOnes[] = {-1, 0, 1, 2};
    std::vector<std::unique_ptr<Child>> runs;
    for (const int closed : closedOnes) {
        const std::string tag = std::to_string(closed);
        runs.push_back(std::make_unique<Child>(
            dir, std::vector<std::string>{"-v", "duplex", played, dir.File(tag + ".wav")},
            Streams{closed, nullptr, tag, {"KALDRIX_VIRTUAL_OUT=" + dir.File(tag + ".raw")}}));
    }
    // What each holds on its closed descriptor while it records: the null
    // device, or on standard output the log's pipe, which -v puts there.
    for (size_t run = 1; run < runs.size(); ++run) {
        const std::string tag = std::to_string(closedOnes[run]);
        char held[64] = {};
        const std::string fd = "/proc/" + std::to_string(runs[run]->pid()) + "/fd/" + tag;
        EXPECT_TRUE(GrowsPast(dir.File(tag + ".wav"), 44) &&
                    readlink(fd.c_str(), held, sizeof held - 1) > 0)
            << fd;
        const std::string file = held;
        EXPECT_TRUE(file == "/dev/null" || (tag == "1" && file.rfind("pipe:", 0) == 0))
            << fd << " is " << file;
    }
    for (size_t run = 0; run < runs.size(); ++run) {
        const std::string tag = std::to_string(closedOnes[run]);
        SCOPED_TRACE("closed: " + tag);
        const Outcome duplex = runs[run]->Finish();
        EXPECT_EQ(duplex.status, 0) << duplex.err;
        EXPECT_TRUE(ReadFile(dir.File(tag + ".raw")) == music);
        const Bytes data = RecordedData(dir.File(tag + ".wav"));
        EXPECT_GE(data.size(), music.size()) << "the recording spans the whole playback";
        EXPECT_TRUE(StartsWith(source, data));
    }
}

// Ctrl-C, a termination request and a hang-up each complete the recording,
// and record exits 0 after each. The hang-up is a real one: the terminal the
// program runs on goes away, and every later write to it fails (EIO).
TEST_F(KaldrixCliRealTime, EachStopSignalCompletesTheRecording) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string take = dir.File("take" + std::to_string(signal) + ".wav");
        int terminal = -1;
        std::vector<std::string> args{"record", take};
        auto argv = Argv(args);
        const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid == 0) {
            execve(kProgram.c_str(), argv.data(), environ);
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        // The terminal is read all along, so that the program never waits on it.
        std::atomic<bool> done{false};
        std::thread drain([&] {
            char buffer[4096];
            while (!done.load()) {
                pollfd ready{terminal, POLLIN, 0};
                if (poll(&ready, 1, 20) == 1 && read(terminal, buffer, sizeof buffer) <= 0)
                    break;
            }
        });
        const bool grew = GrowsPast(take, 44 + 960);
        if (signal == SIGHUP) {
            done.store(true);
            drain.join();
            close(terminal); // the terminal hangs up
        } else {
            kill(pid, signal);
        }
        const int status = WaitFor(pid);
        if (signal != SIGHUP) {
            done.store(true);
            drain.join();
            close(terminal);
        }
        ASSERT_TRUE(grew);
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(RecordedData(take).empty()) << "the header is complete";
    }
}

TEST_F(KaldrixCliRealTime, CtrlCStopsThroughTheLibrary) {
    kxtest::ScopedEnv output("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    const Bytes music = kxtest::Pattern(16000 * 10, 5);
    Child play(dir, {"play", Write("long.wav", kxtest::PcmWave(1, 8000, 16, music))});
    ASSERT_TRUE(GrowsPast(dir.File("played.raw"), 0));
    play.Signal(SIGTERM);
    const Outcome stopped = play.Finish();
    EXPECT_EQ(stopped.status, kInterrupted) << stopped.err;
    EXPECT_NE(stopped.err.find("stopped "), std::string::npos) << stopped.err;
    const Bytes out = ReadFile(dir.File("played.raw"));
    EXPECT_LT(out.size(), music.size()) << "stopped before the end";
    EXPECT_TRUE(StartsWith(music, out));
}

TEST_F(KaldrixCliRealTime, OnATerminalShowsProgressAndEnterEndsARecording) {
    const std::string music = Write("music.wav", kxtest::PcmWave(1, 8000, 16, Bytes(16000)));
    const Outcome play = RunOnTerminal({"play", music}, "", {});
    EXPECT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.err.find("\rplaying 0:00."), std::string::npos) << play.err;
    EXPECT_NE(play.err.find("/ 0:01.0 ["), std::string::npos) << play.err;
    EXPECT_NE(play.err.find("\rplayed " + music), std::string::npos) << play.err;

    // Duplex rewrites one progress line that fits the 80 columns: between
    // its first line and its last two, no line ends and no row wraps.
    const Outcome duplex =
        RunOnTerminal({"duplex", Write("long.wav", kxtest::PcmWave(1, 8000, 16, Bytes(16000 * 3))),
                       dir.File("duplex.wav")},
                      "", {});
    EXPECT_EQ(duplex.status, 0) << duplex.err;
    EXPECT_EQ(Lines(duplex.err), 3u) << duplex.err;
    const std::string progress = duplex.err.substr(duplex.err.find('\n') + 1);
    std::istringstream redraws(progress.substr(0, progress.find('\n')));
    size_t rows = 0;
    for (std::string row; std::getline(redraws, row, '\r');) {
        EXPECT_LT(row.size(), 80u) << row;
        rows += row.find("recording 0:0") != std::string::npos;
    }
    EXPECT_GT(rows, 3u) << "the line is redrawn as time passes: " << duplex.err;

    // 8-bit samples, silent at 128, with a peak of 16 above it: -18 dB (read
    // as 16-bit samples, the same bytes would be near full scale).
    Bytes quiet(8000 * 8, 0x80);
    for (size_t at = 0; at < quiet.size(); at += 100)
        quiet[at] = 0x90;
    kxtest::WriteFile(dir.File("source.raw"), quiet);
    kxtest::ScopedEnv input("KALDRIX_VIRTUAL_IN", dir.File("source.raw"));
    const std::string take = dir.File("take.wav");
    const Outcome record =
        RunOnTerminal({"record", take, "-f", "U8"}, "\n", std::chrono::milliseconds(1500));
    EXPECT_EQ(record.status, 0) << record.err;
    EXPECT_NE(record.err.find("press Enter or Ctrl-C"), std::string::npos) << record.err;
    EXPECT_NE(record.err.find("   -18 dB"), std::string::npos) << "a level meter: " << record.err;
    EXPECT_NE(record.err.find("recorded " + take), std::string::npos) << record.err;
    EXPECT_FALSE(RecordedData(take, 480).empty());
}

// The header sizes of a recording, and the file with them taken out.
struct Sizes {
    uint32_t riff, data;
};
Sizes HeaderSizes(const Bytes& file) { return {ReadLe32(file, 4), ReadLe32(file, 40)}; }
Bytes WithoutSizes(Bytes file) {
    for (size_t at : {4, 5, 6, 7, 40, 41, 42, 43})
        if (at < file.size())
            file[at] = 0;
    return file;
}

TEST_F(KaldrixCli, DevicesListsWhatTheLibrarySeesOrWhyThereIsNone) {
    kxtest::AlsaWithoutDevices noAlsa;
    struct Case {
        const char* audio;
        int status;
        std::vector<std::string> says;
    } cases[] = {
        {"virtual",
         0,
         {"KALDRIX_AUDIO=virtual: the virtual devices\n",
          "wave-out 0: KALDRIX VIRTUAL OUT  <- play\n",
          "wave-in 0: KALDRIX VIRTUAL IN  <- record\n"}},
        {"auto",
         kNoDevice,
         {"KALDRIX_AUDIO=auto: ALSA's devices, none where ALSA's device does not open\n",
          "wave-out 0: ALSA default device  <- play (ALSA's playback PCM \"default\" does not "
          "open: No such file or directory)\n"}},
        {"none",
         kNoDevice,
         {"no wave-out device: KALDRIX_AUDIO=none\n", "no wave-in device: KALDRIX_AUDIO=none\n"}},
        {"alsa",
         kNoDevice,
         {"wave-out 0: ALSA default device  <- play (ALSA's playback PCM \"default\" does not "
          "open: No such file or directory)\n",
          "wave-in 0: ALSA default device  <- record (ALSA's capture PCM \"default\" does not "
          "open: No such file or directory)\n",
          "\"used\": true}], \"none\": \"ALSA's capture PCM \\\"default\\\" does not open: No such "
          "file or directory\"}"}},
        {"loud", kNoDevice, {"KALDRIX_AUDIO=loud, not auto, alsa, virtual or none: no device"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.audio);
        kxtest::ScopedEnv audio("KALDRIX_AUDIO", c.audio);
        Outcome outcome = RunKaldrix(dir, {"devices", "--quiet"});
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        outcome.out += RunKaldrix(dir, {"devices", "--json"}).out;
        for (const std::string& text : c.says)
            EXPECT_NE(outcome.out.find(text), std::string::npos) << outcome.out;
        // Every device the library's own calls see, by the same id.
        for (UINT id = 0; id < waveOutGetNumDevs(); ++id) {
            WAVEOUTCAPSA caps{};
            ASSERT_EQ(waveOutGetDevCapsA(id, &caps, sizeof caps), MMSYSERR_NOERROR);
            const std::string line = "wave-out " + std::to_string(id) + ": " + caps.szPname;
            EXPECT_NE(outcome.out.find(line), std::string::npos) << outcome.out;
        }
        for (UINT id = 0; id < waveInGetNumDevs(); ++id) {
            WAVEINCAPSA caps{};
            ASSERT_EQ(waveInGetDevCapsA(id, &caps, sizeof caps), MMSYSERR_NOERROR);
            const std::string line = "wave-in " + std::to_string(id) + ": " + caps.szPname;
            EXPECT_NE(outcome.out.find(line), std::string::npos) << outcome.out;
        }
    }
}

TEST_F(KaldrixCli, RepairCompletesOnlyAnUnfinishedRecordingAndKeepsEverySoundByte) {
    const Bytes sound = kxtest::Pattern(16000, 9);
    const Bytes finished = kxtest::PcmWave(1, 8000, 16, sound);
    Bytes odd = WithoutSizes(finished);
    odd.push_back(0x5A); // half a sample that the host wrote before it died
    Bytes stereo = WithoutSizes(kxtest::PcmWave(2, 48000, 16, sound));
    stereo.insert(stereo.end(), 3, 0x5A); // three bytes of a four-byte frame
    const Bytes otherRate = WithoutSizes(kxtest::PcmWave(1, 7999, 16, sound));
    Bytes riffOnly = finished;
    riffOnly[40] = riffOnly[41] = riffOnly[42] = riffOnly[43] = 0;
    // Sizes brought up to date while recording, before the host died.
    const Bytes updated = kxtest::PcmWave(1, 8000, 16, Bytes(sound.begin(), sound.begin() + 9600));
    Bytes shortSizes = updated;
    shortSizes.insert(shortSizes.end(), sound.begin() + 9600, sound.end());
    Bytes inconsistent = shortSizes;
    inconsistent[4] = 0;
    const Bytes notWave = kxtest::Pattern(100, 2);

    struct Case {
        const char* name;
        Bytes bytes;
        int status;
        std::string says;
        Sizes sizes; // after a repair
    } cases[] = {
        {"whole samples", WithoutSizes(finished), 0, "16000 bytes of sound", {16036, 16000}},
        {"odd last byte", odd, 0, "16000 bytes of sound (the last 1 byte(s)", {16036, 16000}},
        {"48 kHz stereo", stereo, 0, "16000 bytes of sound (the last 3 byte(s)", {16036, 16000}},
        {"cut short",
         Bytes(finished.begin(), finished.begin() + 10001),
         0,
         "a file cut short at 10001 bytes",
         {9992, 9956}},
        {"header only", WithoutSizes(kxtest::PcmWave(1, 8000, 16, {})), 0, "0 bytes", {36, 0}},
        {"sizes short of the file", shortSizes, 0, "declared 9600 bytes", {16036, 16000}},
        {"sizes short but not matching", inconsistent, kMalformed, "already finished", {}},
        {"finished", finished, kMalformed, "already finished", {}},
        {"riff size only", riffOnly, kMalformed, "already finished", {}},
        {"not the recorder's format", otherRate, kMalformed, "too few for its chunks", {}},
        {"not a wave", notWave, kMalformed, "does not start with \"RIFF\"", {}},
        {"short", Bytes(finished.begin(), finished.begin() + 40), kMalformed, "no \"data\"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = Write("take.wav", c.bytes);
        const Outcome outcome = RunKaldrix(dir, {"repair", file});
        const Bytes after = ReadFile(file);
        if (c.status != 0) {
            ExpectFailure(outcome, c.status, c.says);
            EXPECT_TRUE(after == c.bytes) << "a refused file is left as it was";
            continue;
        }
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
        EXPECT_TRUE(WithoutSizes(after) == WithoutSizes(c.bytes)) << "only the two sizes change";
        EXPECT_EQ(HeaderSizes(after).riff, c.sizes.riff);
        EXPECT_EQ(HeaderSizes(after).data, c.sizes.data);
    }
    ExpectFailure(RunKaldrix(dir, {"repair", dir.File("missing.wav")}), kInputUnreadable,
                  "missing.wav");
}

// The library keeps the header's sizes up to date about once a second, so
// a killed host leaves a valid file with all but its last second or less;
// repair then declares the rest too.
TEST_F(KaldrixCliRealTime, RepairMakesTheRecordingOfAKilledHostPlayable) {
    const Bytes source = kxtest::Pattern(16000 * 8, 11);
    kxtest::WriteFile(dir.File("source.raw"), source);
    kxtest::ScopedEnv input("KALDRIX_VIRTUAL_IN", dir.File("source.raw"));
    kxtest::ScopedEnv output("KALDRIX_VIRTUAL_OUT", dir.File("played.raw"));
    const std::string take = dir.File("take.wav");
    Child record(dir, {"record", take});
    ASSERT_TRUE(GrowsPast(take, 44)); // its first sound
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    record.Signal(SIGKILL);
    record.Finish();

    const Bytes killed = ReadFile(take);
    const Sizes left = HeaderSizes(killed);
    EXPECT_EQ(left.riff, 36 + left.data);
    EXPECT_GE(left.data, 2u * 16000) << "at most about a second is undeclared";
    ASSERT_LE(44 + left.data, killed.size());
    EXPECT_TRUE(StartsWith(source, Bytes(killed.begin() + 44, killed.begin() + 44 + left.data)))
        << "the declared sound is what the input delivered";
    if (44 + left.data == killed.size()) {
        EXPECT_EQ(RunKaldrix(dir, {"info", take}).status, 0) << "killed right after an update";
        return;
    }
    const Outcome info = RunKaldrix(dir, {"info", take});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("unfinished recording"), std::string::npos) << info.out;
    // Unrepaired, play plays what the header declares, and says so.
    const Outcome unfinished = RunKaldrix(dir, {"play", take});
    EXPECT_EQ(unfinished.status, 0) << unfinished.err;
    EXPECT_NE(unfinished.err.find("warning: " + take + " is an unfinished recording"),
              std::string::npos)
        << unfinished.err;
    EXPECT_TRUE(ReadFile(dir.File("played.raw")) ==
                Bytes(killed.begin() + 44, killed.begin() + 44 + left.data));
    unlink(dir.File("played.raw").c_str());

    const Outcome repair = RunKaldrix(dir, {"repair", take});
    EXPECT_EQ(repair.status, 0) << repair.err;
    const Bytes repaired = ReadFile(take);
    ASSERT_EQ(repaired.size(), killed.size());
    EXPECT_TRUE(WithoutSizes(repaired) == WithoutSizes(killed)) << "no byte of sound changes";
    // The sizes declare every whole sample the file holds; a kill may cut
    // a write anywhere, not only between the library's 960-byte pieces.
    const uint32_t size = static_cast<uint32_t>(killed.size() - 44) & ~1u;
    EXPECT_EQ(HeaderSizes(repaired).data, size);
    EXPECT_EQ(HeaderSizes(repaired).riff, 36 + size);
    const Bytes data(repaired.begin() + 44, repaired.begin() + 44 + size);
    EXPECT_TRUE(StartsWith(source, data)) << "the recording is what the input delivered";

    const Outcome play = RunKaldrix(dir, {"play", take});
    EXPECT_EQ(play.status, 0) << play.err;
    EXPECT_TRUE(ReadFile(dir.File("played.raw")) == data) << "the device played every byte";
}

// The capture thread's record "MM录音设备打开." in GBK, as the library writes
// it, and in UTF-8.
const std::string kDeviceOpenedGbk = "MM\xC2\xBC\xD2\xF4\xC9\xE8\xB1\xB8\xB4\xF2\xBF\xAA.";
const std::string kDeviceOpenedUtf8 =
    "MM\xE5\xBD\x95\xE9\x9F\xB3\xE8\xAE\xBE\xE5\xA4\x87\xE6\x89\x93\xE5\xBC\x80.";

TEST_F(KaldrixCliRealTime, VerboseShowsTheLogOnStandardErrorConvertedOnAUtf8Terminal) {
    kxtest::ScopedEnv locale("LC_ALL", "C.UTF-8");
    const std::string take = dir.File("take.wav");
    struct Case {
        bool terminal;
        std::string option; // -v, -q or none
        std::vector<std::string> shows, hides;
    } cases[] = {
        {true,
         "-v",
         {"Log Started", kDeviceOpenedUtf8 + "\r\n", "Log Exited", "recorded " + take},
         {kDeviceOpenedGbk}},
        {true, "", {"recorded " + take}, {"Log ", "MM"}},
        {false,
         "--verbose",
         {"Log Started\n", "\n" + kDeviceOpenedGbk + "\n", "Log Exited\n"},
         {"\r"}},
        {false, "", {"recorded " + take}, {"Log ", "MM"}},
        {false, "-q", {}, {"Log ", "MM", "record"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.terminal ? "terminal " : "files ") + c.option);
        std::vector<std::string> args{"record", take, "--seconds", "1"};
        if (!c.option.empty())
            args.insert(args.begin(), c.option);
        const Outcome outcome = c.terminal ? RunOnTerminal(args, "", {}) : RunKaldrix(dir, args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "") << "record has no results";
        for (const std::string& text : c.shows)
            EXPECT_NE(outcome.err.find(text), std::string::npos) << outcome.err;
        for (const std::string& text : c.hides)
            EXPECT_EQ(outcome.err.find(text), std::string::npos) << outcome.err;
        if (c.terminal && !c.option.empty()) {
            // The record starts a line of its own, after the progress line
            // has been wiped or ended.
            const size_t record = outcome.err.find(kDeviceOpenedUtf8);
            ASSERT_NE(record, std::string::npos);
            EXPECT_TRUE(outcome.err[record - 1] == '\r' || outcome.err[record - 1] == '\n')
                << outcome.err;
        }
    }
}

// The program's sources, in tools/kaldrix.
std::string ToolSource(const std::string& name) {
    return std::string(KALDRIX_SOURCE_DIR) + "/tools/kaldrix/" + name;
}

// What bash completion offers for `line` (completed at its end), sorted, one
// per line, in the test's folder.
std::string Completions(const kxtest::TempDir& dir, const std::string& line) {
    const std::string script = dir.File("complete.sh");
    std::ofstream(script) << "shopt -s extglob\n"
                          << "source '" << ToolSource("kaldrix.bash-completion") << "'\n"
                          << "read -ra COMP_WORDS <<<'" << line << "'\n"
                          << (line.back() == ' ' ? "COMP_WORDS+=('')\n" : "")
                          << "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                          << "_kaldrix\n"
                          << "printf '%s\\n' \"${COMPREPLY[@]}\" | sort\n";
    return ShellOutput("cd '" + dir.path() + "' && bash complete.sh 2>&1");
}

TEST_F(KaldrixCli, BashCompletionOffersCommandsOptionsAndWaveFiles) {
    Write("take.wav", {});
    Write("notes.txt", {});
    // complete.sh itself lies in the folder too.
    ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
    const struct {
        const char* line;
        const char* offers;
    } cases[] = {
        {"kaldrix ", "devices\nduplex\ninfo\nplay\nrecord\nrepair\n"},
        {"kaldrix -q re", "record\nrepair\n"},
        {"kaldrix --v", "--verbose\n--version\n"},
        {"kaldrix info --", "--json\n"},
        {"kaldrix record take.wav --", "--channels\n--device\n--format\n--rate\n--seconds\n"},
        {"kaldrix duplex -f S", "S16_LE\nS24_3LE\nS32_LE\n"},
        {"kaldrix record --seconds ", "\n"},
        {"kaldrix play ", "folder\ntake.wav\n"},
        {"kaldrix -v record ", "complete.sh\nfolder\nnotes.txt\ntake.wav\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Completions(dir, c.line), c.offers);
    }
}

// Every command, option, exit status and variable that --help names has an
// entry of its own in the manual page.
TEST_F(KaldrixCli, ManualPageDescribesAllThatTheHelpNames) {
    const std::string page =
        std::regex_replace(Text(ReadFile(ToolSource("kaldrix.1"))), std::regex(R"(\\-)"), "-");
    const Outcome help = RunKaldrix(dir, {"--help"});
    ASSERT_EQ(help.status, 0);

    const auto words = [](const std::string& text, const char* pattern) {
        std::set<std::string> found;
        const std::regex word(pattern);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
             it != std::sregex_iterator(); ++it)
            found.insert((*it)[1].str());
        return found;
    };
    std::set<std::string> entries; // the words of the page's tagged paragraphs
    for (const std::string& line : words(page, R"(\n\.TP\n\.B[IR]? ([^\n]*))"))
        for (const std::string& word : words(line, R"(([^\s",]+))"))
            entries.insert(word);
    std::set<std::string> named;
    for (const char* pattern : {R"(\n  kaldrix ([a-z]+) )", R"((?:^|[\s\[])(--?[a-z]+))",
                                R"((?:status: |, |\n)(\d+) )", R"((KALDRIX_[A-Z]+))"})
        for (const std::string& word : words(help.out, pattern))
            named.insert(word);
    EXPECT_EQ(named.size(), 6u + 15 + 11 + 1) << ::testing::PrintToString(named);
    for (const std::string& word : named)
        EXPECT_EQ(entries.count(word), 1u) << word;
}

} // namespace
