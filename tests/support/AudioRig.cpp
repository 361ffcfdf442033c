// SPDX-License-Identifier: MIT
#include "support/AudioRig.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kxtest {

namespace {

const std::vector<std::string> kRawFormat = {"--raw", "--format=s16le", "--rate=8000",
                                             "--channels=1"};

std::vector<std::string> PulseClient(const char* program, const char* device,
                                     const char* latency) {
    std::vector<std::string> arguments = {program, "-d", device, latency};
    arguments.insert(arguments.end(), kRawFormat.begin(), kRawFormat.end());
    return arguments;
}

off_t FileSize(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

} // namespace

bool AudioRigRunning() {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server || std::strncmp(server, "unix:", 5) != 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, server + 5, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::string& outputPath) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() { Stop(); }

int ChildProcess::Stop() {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    const pid_t ended = ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SinkRecorder::SinkRecorder(const std::string& path)
    : m_path(path), m_parec(PulseClient("parec", "vsink.monitor", "--latency-msec=20"), path) {}

bool SinkRecorder::WaitStreaming() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_parec.started() && FileSize(m_path) == 0) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_parec.started();
}

Bytes SinkRecorder::Stop() {
    m_parec.Stop();
    return ReadFile(m_path);
}

namespace {

// The feed keeps a second of sound in the server: with less, a feed held up
// by a busy machine under-runs, and the server plays silence into what the
// tests record (a gap a recording of the feed's monitor by parec shows too).
std::vector<std::string> FeedArguments(const std::string& path) {
    std::vector<std::string> arguments = PulseClient("pacat", "feed", "--latency-msec=1000");
    arguments.push_back(path);
    return arguments;
}

} // namespace

FeedPlayer::FeedPlayer(const std::string& path) : m_pacat(FeedArguments(path), "/dev/null") {}

AlsaWithoutDevices::AlsaWithoutDevices() {
    const std::string config = m_dir.File("asound.conf");
    const std::string text = "pcm.!default { type hw card 31 }\nctl.!default { type hw card 31 }\n";
    WriteFile(config, Bytes(text.begin(), text.end()));
    m_config = std::make_unique<ScopedEnv>("ALSA_CONFIG_PATH", config);
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    m_saved = ::dup(STDERR_FILENO);
    const int file =
        ::open(m_dir.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
}

std::string StderrCapture::Text() const {
    std::fflush(stderr);
    const Bytes bytes = ReadFile(m_dir.File("stderr"));
    return std::string(bytes.begin(), bytes.end());
}

size_t FindBytes(const Bytes& haystack, const Bytes& needle, size_t from) {
    if (from > haystack.size())
        return std::string::npos;
    const auto at = std::search(haystack.begin() + static_cast<long>(from), haystack.end(),
                                needle.begin(), needle.end());
    return at == haystack.end() ? std::string::npos : static_cast<size_t>(at - haystack.begin());
}

} // namespace kxtest
