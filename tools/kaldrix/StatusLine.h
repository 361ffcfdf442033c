// SPDX-License-Identifier: MIT
// The progress line on standard error: rewritten in place on a terminal, and
// only plain lines when standard error is a file or a pipe; nothing at all
// with --quiet. The library's log shares the terminal with it through
// WriteBesideProgress.
#pragma once

#include "Arguments.h"

#include <cstdint>
#include <functional>
#include <string>

namespace cli {

class StatusLine {
public:
    explicit StatusLine(const Invocation& invocation);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool terminal() const { return m_terminal; }
    // Replaces the line on a terminal, cut to the terminal's width; does
    // nothing otherwise.
    void Show(const std::string& text);
    // Ends the line with `text` on a terminal, before a call that may make
    // the library write its log to the same terminal; does nothing otherwise.
    void Break(const std::string& text);
    // Writes a line of its own unless quiet.
    void Print(const std::string& text);
    // Writes the final line unless quiet.
    void Finish(const std::string& text) { Print(text); }

private:
    bool m_quiet;
    bool m_terminal;
};

// Runs `write`, which puts whole lines on the terminal, with the progress
// line wiped before and drawn again after it, so that each log record stands
// on a line of its own. Safe from any thread.
void WriteBesideProgress(const std::function<void()>& write);

// "0:02.0", or "1:02:03.4" from an hour on.
std::string FormatClock(double seconds);
// "[#####---------------]" for `fraction` (clamped to 0..1) of `width` cells.
std::string Bar(double fraction, int width);
// "950 bytes", "12.5 KiB", "3.1 MiB".
std::string FormatBytes(uint64_t bytes);

} // namespace cli
