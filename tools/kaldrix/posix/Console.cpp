// SPDX-License-Identifier: MIT
#include "Console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

namespace {

std::atomic<int> g_stopRequested{0};
bool g_outputWasClosed = false;
pthread_mutex_t g_screen = PTHREAD_MUTEX_INITIALIZER;
static_assert(std::atomic<int>::is_always_lock_free, "the flag is set from a signal handler");

void OnStopSignal(int) { g_stopRequested.store(1); }

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

} // namespace

bool OpenClosedStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        g_outputWasClosed = g_outputWasClosed || fd == STDOUT_FILENO;
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0)
            return false;
        if (null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    return true;
}

bool StandardOutputWasClosed() { return g_outputWasClosed; }

bool IsTerminal(std::FILE* stream) { return ::isatty(fileno(stream)) == 1; }

unsigned TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

void InstallStopRequest() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or a dropped ssh session: the job is completed as
    // for Ctrl-C, and the writes to the terminal that is gone (EIO) are
    // ignored on the way.
    sigaction(SIGHUP, &action, nullptr);
}

bool StopRequested() { return g_stopRequested.load() != 0; }

void HoldStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void ReleaseStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

bool EnterPressed() {
    // Once the terminal has signalled its end (Ctrl-D), only Ctrl-C stops.
    static bool inputEnded = false;
    if (inputEnded || !::isatty(STDIN_FILENO))
        return false;
    // A terminal in its usual line mode makes input readable only when a
    // line is complete, that is when Enter is pressed.
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 0) != 1)
        return false;
    char line[256];
    const ssize_t count = ::read(STDIN_FILENO, line, sizeof line);
    inputEnded = count <= 0;
    return count > 0;
}

void SleepMs(unsigned milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

ScreenLock::ScreenLock() { pthread_mutex_lock(&g_screen); }
ScreenLock::~ScreenLock() { pthread_mutex_unlock(&g_screen); }

} // namespace cli
