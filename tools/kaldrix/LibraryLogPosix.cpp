#include "LibraryLog.h"
#include "LogLines.h"
#include "StatusLine.h"

#include <cerrno>
#include <cstdio>
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

int g_terminal = -1; // the terminal that standard output was, while the pipe stands in
int g_pipe = -1;     // the pipe's read end

// Runs from the program's preinit array, before any shared library's
// initializer: the library writes its first record while it loads, and that
// record already goes through the pipe, so --quiet can hide it too. Only
// system calls and the setting of a buffer mode happen this early.
void TakeTerminalOutput(int, char**, char**) {
    if (::isatty(STDOUT_FILENO) != 1)
        return;
    const int terminal = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if (terminal < 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
        if (terminal >= 0)
            ::close(terminal);
        return;
    }
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
    // On a pipe stdio would hold the records back in whole blocks.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    g_terminal = terminal;
    g_pipe = ends[0];
}

__attribute__((section(".preinit_array"),
               used)) void (*const g_takeTerminalOutput)(int, char**, char**) = TakeTerminalOutput;

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

void WriteAll(int descriptor, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<size_t>(written);
    }
}

// Reads the pipe until every writer has gone and shows each line as it is
// complete.
void Pump(bool quiet, const std::string& codeset) {
    const bool gbk =
        ::strcasecmp(codeset.c_str(), "GBK") == 0 || ::strcasecmp(codeset.c_str(), "GB18030") == 0;
    GbkConverter converter(codeset);
    const bool convert = !gbk && converter.Works();
    const auto show = [&](const std::string& line) {
        if (quiet)
            return;
        const std::string text = convert ? converter.Convert(line) : line;
        WriteBesideProgress([&] { WriteAll(g_terminal, text); });
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
bool g_quiet = false;
int g_own = -1; // where kaldrix's own output goes while standard output goes nowhere

void SendToNowhere() {
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere >= 0) {
        ::dup2(nowhere, STDOUT_FILENO);
        ::close(nowhere);
    }
}

} // namespace

LibraryLog::LibraryLog(bool quiet) {
    g_quiet = quiet;
    if (g_pipe < 0) {
        if (quiet) {
            g_own = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
            SendToNowhere(); // what stdio still holds goes there too
        }
        return;
    }
    try {
        g_reader = std::thread(Pump, quiet, TerminalCodeset());
    } catch (const std::system_error&) {
        // Nobody would empty the pipe: the records go to the terminal as they are.
        ::dup2(g_terminal, STDOUT_FILENO);
        g_pipe = -1;
    }
}

LibraryLog::~LibraryLog() {
    std::fflush(stdout);
    if (g_pipe < 0)
        return;
    // Putting the terminal back closes the pipe's only write end: the reader
    // sees its end once it has shown everything before it.
    if (g_quiet)
        SendToNowhere();
    else
        ::dup2(g_terminal, STDOUT_FILENO);
    if (g_reader.joinable())
        g_reader.join();
}

void LibraryLog::WriteOwn(const char* text) {
    // Quiet, the pipe's reader drops what it reads; otherwise the text goes
    // through it, after what the library wrote before.
    if (g_pipe >= 0 && g_quiet)
        WriteBesideProgress([&] { WriteAll(g_terminal, text); });
    else if (g_own >= 0)
        WriteAll(g_own, text);
    else
        std::fputs(text, stdout);
}

} // namespace cli
