// SPDX-License-Identifier: MIT
#include "StatusLine.h"
#include "Console.h"

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

// The progress line on screen now, empty when none is open; guarded by the
// screen lock, as the library's log is written from a thread of its own.
std::string g_onScreen;

void Draw(const std::string& text) {
    // Spaces wipe what a longer earlier line left behind.
    const std::string padding(g_onScreen.size() > text.size() ? g_onScreen.size() - text.size() : 0,
                              ' ');
    std::fprintf(stderr, "\r%s%s", text.c_str(), padding.c_str());
    std::fflush(stderr);
    g_onScreen = text.empty() ? " " : text;
}

void EndLine() {
    std::fputs("\n", stderr);
    std::fflush(stderr);
    g_onScreen.clear();
}

} // namespace

StatusLine::StatusLine(const Invocation& invocation)
    : m_quiet(invocation.verbosity == Invocation::Verbosity::Quiet),
      m_terminal(!m_quiet && IsTerminal(stderr)) {}

StatusLine::~StatusLine() {
    // A line left open by a failure is ended, so that the failure's message
    // starts on a line of its own.
    ScreenLock lock;
    if (!g_onScreen.empty())
        EndLine();
}

void StatusLine::Show(const std::string& text) {
    if (!m_terminal)
        return;
    // A line as wide as the terminal would wrap, and the next "\r" would
    // return to its last row only: the progress is cut to leave a column free.
    const size_t room = TerminalColumns() - 1;
    ScreenLock lock;
    Draw(text.substr(0, room));
}

void StatusLine::Break(const std::string& text) {
    if (!m_terminal)
        return;
    ScreenLock lock;
    Draw(text);
    EndLine();
}

void StatusLine::Print(const std::string& text) {
    if (m_quiet)
        return;
    ScreenLock lock;
    if (m_terminal)
        Draw(text);
    else
        std::fputs(text.c_str(), stderr);
    EndLine();
}

void WriteBesideProgress(const std::function<void()>& write) {
    ScreenLock lock;
    const std::string shown = g_onScreen;
    if (!shown.empty()) {
        std::fprintf(stderr, "\r%s\r", std::string(shown.size(), ' ').c_str());
        std::fflush(stderr);
    }
    write();
    if (!shown.empty()) {
        std::fprintf(stderr, "\r%s", shown.c_str());
        std::fflush(stderr);
    }
}

std::string FormatClock(double seconds) {
    const long tenths = std::lround(std::fmax(seconds, 0.0) * 10.0);
    const long minutes = tenths / 600;
    char text[32];
    if (minutes >= 60)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%ld", minutes / 60, minutes % 60,
                      tenths / 10 % 60, tenths % 10);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld.%ld", minutes, tenths / 10 % 60, tenths % 10);
    return text;
}

std::string Bar(double fraction, int width) {
    const double clamped = std::fmin(std::fmax(fraction, 0.0), 1.0);
    const int filled = static_cast<int>(std::lround(clamped * width));
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

std::string FormatBytes(uint64_t bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

} // namespace cli
