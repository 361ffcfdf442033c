// SPDX-License-Identifier: MIT
#include "Console.h"

#include <atomic>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace cli {

namespace {

std::atomic<int> g_stopRequested{0};
bool g_outputWasClosed = false;
SRWLOCK g_screen = SRWLOCK_INIT;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    g_stopRequested.store(1);
    return TRUE;
}

} // namespace

// A standard handle that is missing or not open in this process (a value the
// parent passed but did not hand down) could later be the value of a file
// the program opens.
bool OpenClosedStandardStreams() {
    const DWORD standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd < 3; ++fd) {
        const HANDLE handle = GetStdHandle(standard[fd]);
        SetLastError(NO_ERROR);
        if (handle && handle != INVALID_HANDLE_VALUE &&
            (GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR))
            continue;
        g_outputWasClosed = g_outputWasClosed || fd == 1;
        const int null = _open("NUL", _O_RDWR | _O_BINARY);
        if (null < 0)
            return false;
        if (null != fd) {
            _dup2(null, fd);
            _close(null);
        }
        SetStdHandle(standard[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    }
    return true;
}

bool StandardOutputWasClosed() { return g_outputWasClosed; }

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

unsigned TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<unsigned>(columns) : 80;
}

void InstallStopRequest() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool StopRequested() { return g_stopRequested.load() != 0; }

// The console's control handler has a thread of its own and never
// interrupts the library's threads, so there is nothing to hold back.
void HoldStopSignals() {}
void ReleaseStopSignals() {}

bool EnterPressed() {
    if (!_isatty(_fileno(stdin)))
        return false;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD pending = 0;
    while (GetNumberOfConsoleInputEvents(input, &pending) && pending > 0) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputA(input, &record, 1, &read) || read == 0)
            return false;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN)
            return true;
    }
    return false;
}

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }

ScreenLock::ScreenLock() { AcquireSRWLockExclusive(&g_screen); }
ScreenLock::~ScreenLock() { ReleaseSRWLockExclusive(&g_screen); }

} // namespace cli
