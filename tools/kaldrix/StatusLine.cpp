#include "StatusLine.h"

#include <cmath>
#include <cstdio>

namespace cli {

StatusLine::~StatusLine() {
    // A line left open by a failure is ended, so that the failure's message
    // starts on a line of its own.
    if (m_shown)
        std::fputs("\n", stderr);
}

void StatusLine::Show(const std::string& text) {
    if (m_terminal)
        Overwrite(text);
}

void StatusLine::Break(const std::string& text) {
    if (!m_terminal)
        return;
    Overwrite(text);
    std::fputs("\n", stderr);
    m_shown = 0;
}

void StatusLine::Finish(const std::string& text) {
    if (m_terminal)
        Overwrite(text);
    else
        std::fputs(text.c_str(), stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    m_shown = 0;
}

void StatusLine::Overwrite(const std::string& text) {
    // Spaces wipe what a longer earlier line left behind.
    const std::string padding(m_shown > text.size() ? m_shown - text.size() : 0, ' ');
    std::fprintf(stderr, "\r%s%s", text.c_str(), padding.c_str());
    std::fflush(stderr);
    m_shown = text.size() ? text.size() : 1;
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
