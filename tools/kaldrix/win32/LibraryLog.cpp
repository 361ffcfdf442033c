// SPDX-License-Identifier: MIT
#include "LibraryLog.h"
#include "Console.h"
#include "Failure.h"
#include "LogLines.h"
#include "StatusLine.h"

#include <cerrno>
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

int g_results = -1; // the real standard output, while the pipe stands in for it
int g_pipe = -1;    // the pipe's read end
HANDLE g_reader = nullptr;
bool g_convert = false; // standard error is a console that does not show GBK

void WriteAll(HANDLE target, const std::string& text) {
    if (!g_convert) {
        DWORD written = 0;
        WriteFile(target, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(kGbk, 0, text.data(), length, nullptr, 0);
    if (wide <= 0)
        return;
    std::wstring converted(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(kGbk, 0, text.data(), length, &converted[0], wide);
    DWORD written = 0;
    WriteConsoleW(target, converted.data(), static_cast<DWORD>(wide), &written, nullptr);
}

// Reads the pipe until every writer has gone and shows each line as it is
// complete.
DWORD WINAPI Pump(LPVOID) {
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    const auto show = [&](const std::string& line) {
        WriteBesideProgress([&] { WriteAll(errors, line); });
    };
    LogLines lines;
    char buffer[4096];
    int count;
    while ((count = _read(g_pipe, buffer, sizeof buffer)) > 0)
        lines.Add(buffer, static_cast<size_t>(count), show);
    lines.Finish(show);
    return 0;
}

// Standard output without the pipe: standard error. Replacing the pipe's
// only write end lets the reader see its end once it has shown everything
// before it.
void SendLogPastPipe() { _dup2(2, 1); }

} // namespace

// KALDRIX.dll is loaded later, on first use, and reads its echo's settings
// then: without --verbose it echoes nothing; with it, GBK on the standard
// output handle, which the pipe takes.
LibraryLog::LibraryLog(bool shown) {
    SetEnvironmentVariableA("KALDRIX_ECHO", shown ? "stdout" : "off");
    SetEnvironmentVariableA("KALDRIX_ECHO_ENCODING", "gbk");
    if (!shown)
        return;
    DWORD mode = 0;
    g_convert =
        GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) && GetConsoleOutputCP() != kGbk;
    int ends[2];
    const int results = _dup(1);
    if (results < 0 || _pipe(ends, 4096, _O_BINARY | _O_NOINHERIT) != 0) {
        if (results >= 0)
            _close(results);
        return;
    }
    // The runtime makes the pipe the process's standard output handle too.
    _dup2(ends[1], 1);
    _close(ends[1]);
    g_results = results;
    g_pipe = ends[0];
    g_reader = CreateThread(nullptr, 0, Pump, nullptr, 0, nullptr);
    if (!g_reader) { // nobody would empty the pipe
        SendLogPastPipe();
        g_pipe = -1;
    }
}

LibraryLog::~LibraryLog() {
    if (g_pipe < 0)
        return;
    // The DLL echoes only into the file that the standard output handle was
    // when it loaded, and at the process's exit the reader is gone before the
    // DLL's detach: an idle DLL is let go now, so that the record of its
    // unload still passes through the pipe. Its echo thread holds it for a
    // moment longer; one that a job's thread still holds goes at the exit,
    // and that last record is not shown.
    if (const HMODULE library = GetModuleHandleA("KALDRIX.dll")) {
        FreeLibrary(library);
        for (int waited = 0; waited < 100 && GetModuleHandleA("KALDRIX.dll"); ++waited)
            Sleep(10);
    }
    SendLogPastPipe();
    if (g_reader) {
        WaitForSingleObject(g_reader, INFINITE);
        CloseHandle(g_reader);
    }
}

void WriteResult(const std::string& text) {
    // A closed standard output has the null device standing in: the results
    // would reach nobody.
    const bool closed = StandardOutputWasClosed();
    bool written = !closed;
    if (written && g_results >= 0) {
        for (size_t done = 0; written && done < text.size();) {
            const int count =
                _write(g_results, text.data() + done, static_cast<unsigned>(text.size() - done));
            written = count > 0;
            done += written ? static_cast<size_t>(count) : 0;
        }
    } else if (written) {
        written = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
    }
    if (!written)
        throw Failure(kResultsUnwritten, "cannot write the results to standard output: " +
                                             std::string(std::strerror(closed ? EBADF : errno)));
}

} // namespace cli
