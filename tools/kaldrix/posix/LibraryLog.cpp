// SPDX-License-Identifier: MIT
#include "LibraryLog.h"
#include "Console.h"
#include "Failure.h"
#include "LogLines.h"
#include "StatusLine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <string>
#include <strings.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace cli {

namespace {

int g_results = -1; // the real standard output, while the pipe stands in for it
int g_pipe = -1;    // the pipe's read end

// The library's echo goes into a pipe that stands in for standard output;
// the real one is kept for the results.
void TakeStandardOutput() {
    const int results = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if (results < 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
        if (results >= 0)
            ::close(results);
        return;
    }
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
    g_results = results;
    g_pipe = ends[0];
}

// The terminal's encoding as the user's locale names it; the program itself
// stays in the "C" locale, which the library's formatting expects.
std::string TerminalCodeset() {
    std::string codeset = "ANSI_X3.4-1968";
    if (::setlocale(LC_CTYPE, ""))
        codeset = ::nl_langinfo(CODESET);
    ::setlocale(LC_CTYPE, "C");
    return codeset;
}

// GBK to the terminal's encoding, a '?' for what the terminal cannot show.
class GbkConverter {
public:
    explicit GbkConverter(const std::string& codeset)
        : m_iconv(::iconv_open(codeset.c_str(), "GBK")) {}
    ~GbkConverter() {
        if (Works())
            ::iconv_close(m_iconv);
    }
    GbkConverter(const GbkConverter&) = delete;
    GbkConverter& operator=(const GbkConverter&) = delete;

    bool Works() const { return m_iconv != reinterpret_cast<iconv_t>(-1); }

    std::string Convert(const std::string& text) {
        std::string converted;
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        while (inLeft > 0) {
            char buffer[1024];
            char* out = buffer;
            size_t outLeft = sizeof buffer;
            const size_t result = ::iconv(m_iconv, &in, &inLeft, &out, &outLeft);
            converted.append(buffer, out);
            if (result == static_cast<size_t>(-1) && errno != E2BIG) {
                // A byte pair GBK does not know, or one the terminal cannot show.
                const bool pair = static_cast<unsigned char>(*in) >= 0x81 && inLeft >= 2;
                in += pair ? 2 : 1;
                inLeft -= pair ? 2 : 1;
                converted += '?';
                ::iconv(m_iconv, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return converted;
    }

private:
    iconv_t m_iconv;
};

// False, errno set, when the descriptor did not take all of `text`.
bool WriteAll(int descriptor, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0)
            errno = EIO;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Reads the pipe until every writer has gone and shows each line as it is
// complete.
void Pump(bool terminal, const std::string& codeset) {
    const bool gbk =
        ::strcasecmp(codeset.c_str(), "GBK") == 0 || ::strcasecmp(codeset.c_str(), "GB18030") == 0;
    GbkConverter converter(codeset);
    const bool convert = terminal && !gbk && converter.Works();
    const auto show = [&](const std::string& line) {
        const std::string text = convert ? converter.Convert(line) : line;
        WriteBesideProgress([&] { static_cast<void>(WriteAll(STDERR_FILENO, text)); });
    };
    LogLines lines;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(g_pipe, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        lines.Add(buffer, static_cast<size_t>(count), show);
    }
    lines.Finish(show);
}

std::thread g_reader;

// Standard output without the pipe: standard error. Replacing the pipe's only
// write end lets the reader see its end once it has shown everything before
// it.
void SendLogPastPipe() { ::dup2(STDERR_FILENO, STDOUT_FILENO); }

// The library echoes only into the file that standard output was when it
// loaded: the pipe stays until the library's last record, that of its unload
// at the process's exit, is out. Registered before the library loads, this
// runs after the library's own exit.
void ShowTheRestAtExit() {
    SendLogPastPipe();
    if (g_reader.joinable())
        g_reader.join();
}

} // namespace

// The library is loaded later, on first use, and reads its echo's settings
// then: without --verbose it echoes nothing; with it, GBK on standard output,
// which the pipe takes.
LibraryLog::LibraryLog(bool shown) {
    ::setenv("KALDRIX_ECHO", shown ? "stdout" : "off", 1);
    ::setenv("KALDRIX_ECHO_ENCODING", "gbk", 1);
    if (!shown)
        return;
    TakeStandardOutput();
    if (g_pipe < 0)
        return;
    try {
        const bool terminal = ::isatty(STDERR_FILENO) == 1;
        g_reader = std::thread(Pump, terminal, terminal ? TerminalCodeset() : "");
    } catch (const std::system_error&) {
        // Nobody would empty the pipe: the records go past it, unconverted
        // (and the library, which has not loaded yet, echoes to standard
        // error's file from the start).
        SendLogPastPipe();
        g_pipe = -1;
        return;
    }
    std::atexit(ShowTheRestAtExit);
}

LibraryLog::~LibraryLog() = default;

void WriteResult(const std::string& text) {
    // A closed standard output has the null device standing in: the results
    // would reach nobody.
    const bool closed = StandardOutputWasClosed();
    const bool written = !closed && (g_results >= 0 ? WriteAll(g_results, text)
                                                    : std::fputs(text.c_str(), stdout) >= 0 &&
                                                          std::fflush(stdout) == 0);
    if (!written)
        throw Failure(kResultsUnwritten, "cannot write the results to standard output: " +
                                             std::string(std::strerror(closed ? EBADF : errno)));
}

} // namespace cli
