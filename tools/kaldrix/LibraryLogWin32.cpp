#include "LibraryLog.h"
#include "LogLines.h"
#include "StatusLine.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

namespace cli {

namespace {

// The code page of the library's records.
constexpr UINT kGbk = 936;

int g_console = -1; // the console that standard output was, while the pipe stands in
int g_pipe = -1;    // the pipe's read end
HANDLE g_reader = nullptr;
bool g_quiet = false;
bool g_convert = false;
int g_own = -1; // where kaldrix's own output goes while standard output goes nowhere

void WriteAll(HANDLE console, const std::string& text) {
    if (!g_convert) {
        DWORD written = 0;
        WriteFile(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(kGbk, 0, text.data(), length, nullptr, 0);
    if (wide <= 0)
        return;
    std::wstring converted(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(kGbk, 0, text.data(), length, &converted[0], wide);
    DWORD written = 0;
    WriteConsoleW(console, converted.data(), static_cast<DWORD>(wide), &written, nullptr);
}

// Reads the pipe until every writer has gone and shows each line as it is
// complete.
DWORD WINAPI Pump(LPVOID) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(g_console));
    const auto show = [&](const std::string& line) {
        if (!g_quiet)
            WriteBesideProgress([&] { WriteAll(console, line); });
    };
    LogLines lines;
    char buffer[4096];
    int count;
    while ((count = _read(g_pipe, buffer, sizeof buffer)) > 0)
        lines.Add(buffer, static_cast<size_t>(count), show);
    lines.Finish(show);
    return 0;
}

void SendToNowhere() {
    const int nowhere = _open("NUL", _O_WRONLY | _O_TEXT);
    if (nowhere >= 0) {
        _dup2(nowhere, 1);
        _close(nowhere);
    }
}

} // namespace

// KALDRIX.dll is loaded later, on first use: the route stands before its
// first record. The DLL and the program share msvcrt and so standard output.
LibraryLog::LibraryLog(bool quiet) {
    g_quiet = quiet;
    DWORD mode = 0;
    if (!_isatty(1) || !GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(1)), &mode)) {
        if (quiet) {
            g_own = _dup(1);
            SendToNowhere();
        }
        return;
    }
    // A console showing code page 936 takes the records as they are.
    g_convert = GetConsoleOutputCP() != kGbk;
    int ends[2];
    const int console = _dup(1);
    if (console < 0 || _pipe(ends, 4096, _O_BINARY | _O_NOINHERIT) != 0) {
        if (console >= 0)
            _close(console);
        return;
    }
    _dup2(ends[1], 1);
    _close(ends[1]);
    // The records keep their CR LF line ends, and reach the pipe as they are
    // written rather than in whole blocks.
    _setmode(1, _O_TEXT);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    g_console = console;
    g_pipe = ends[0];
    g_reader = CreateThread(nullptr, 0, Pump, nullptr, 0, nullptr);
    if (!g_reader) { // nobody would empty the pipe
        _dup2(console, 1);
        g_pipe = -1;
    }
}

LibraryLog::~LibraryLog() {
    std::fflush(stdout);
    if (g_pipe < 0)
        return;
    // Putting the console back closes the pipe's only write end: the reader
    // sees its end once it has shown everything before it.
    if (g_quiet) {
        SendToNowhere();
    } else {
        _dup2(g_console, 1);
        _setmode(1, _O_TEXT);
    }
    if (g_reader) {
        WaitForSingleObject(g_reader, INFINITE);
        CloseHandle(g_reader);
    }
}

void LibraryLog::WriteOwn(const char* text) {
    const unsigned length = static_cast<unsigned>(std::strlen(text));
    // Quiet, the pipe's reader drops what it reads; otherwise the text goes
    // through it, after what the library wrote before.
    if (g_pipe >= 0 && g_quiet)
        WriteBesideProgress([&] { _write(g_console, text, length); });
    else if (g_own >= 0)
        _write(g_own, text, length);
    else
        std::fputs(text, stdout);
}

} // namespace cli
