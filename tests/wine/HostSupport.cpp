// SPDX-License-Identifier: MIT
#include "HostSupport.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

namespace kxhost {

const char kLibraryName[] = "KALDRIX.dll";

namespace {
using StartFunction = int(KALDRIX_CALL*)(const char*);
using PlainFunction = int(KALDRIX_CALL*)();

// A missing function fails the test and answers like a failed call.
template <typename Function, typename... Args>
int Call(Function function, const char* name, Args... args) {
    if (!function) {
        ADD_FAILURE() << name << " is not exported";
        return -99;
    }
    return function(args...);
}
} // namespace

int Library::StartRecFile(const char* fileName) const {
    return Call(Find<StartFunction>("KxStartRecFile"), "KxStartRecFile", fileName);
}
int Library::StopRecFile() const {
    return Call(Find<PlainFunction>("KxStopRecFile"), "KxStopRecFile");
}
int Library::RecordStatus() const {
    return Call(Find<PlainFunction>("KxRecordStatus"), "KxRecordStatus");
}
int Library::StartPlayFile(const char* fileName) const {
    return Call(Find<StartFunction>("KxStartPlayFile"), "KxStartPlayFile", fileName);
}
int Library::StopPlayFile() const {
    return Call(Find<PlainFunction>("KxStopPlayFile"), "KxStopPlayFile");
}
int Library::PlayStatus() const {
    return Call(Find<PlainFunction>("KxPlayStatus"), "KxPlayStatus");
}

bool LibraryGone(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (GetModuleHandleA(kLibraryName)) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(20);
    }
    return true;
}

EchoCapture::EchoCapture()
    : m_file(CreateFileA(m_dir.File("echo.txt").c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)),
      m_previous(GetStdHandle(STD_OUTPUT_HANDLE)) {
    SetStdHandle(STD_OUTPUT_HANDLE, m_file);
}

EchoCapture::~EchoCapture() {
    SetStdHandle(STD_OUTPUT_HANDLE, m_previous);
    CloseHandle(m_file);
}

// Read as text: each CR LF as "\n".
std::string EchoCapture::Text() const {
    const kxtest::Bytes bytes = kxtest::ReadFile(m_dir.File("echo.txt"));
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] != '\n')
            text += static_cast<char>(bytes[i]);
    return text;
}

std::string Echo(std::initializer_list<std::string> messages) {
    std::string echo;
    for (const std::string& message : messages)
        echo += message + "\n";
    return echo;
}

std::string RigFile(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? value : "";
}

namespace {

std::string ThisProgram() {
    char self[MAX_PATH];
    return GetModuleFileNameA(nullptr, self, sizeof self) ? self : "";
}

// Starts `command` with `sink` as its standard input and error and, unless
// `out` is given, its standard output; the handles are the caller's to close.
// The child's process handle, or null.
HANDLE StartCommand(std::string command, HANDLE sink, HANDLE out) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = sink;
    startup.hStdOutput = out ? out : sink;
    startup.hStdError = sink;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child))
        return nullptr;
    CloseHandle(child.hThread);
    return child.hProcess;
}

// Runs `command` as StartCommand does, for `limitMs` at most. `endedAt` gets
// the GetTickCount at which it was seen to end.
DWORD RunCommand(const std::string& command, HANDLE sink, HANDLE out, DWORD* endedAt = nullptr,
                 DWORD limitMs = 60000) {
    const HANDLE child = StartCommand(command, sink, out);
    if (!child)
        return STILL_ACTIVE;
    WaitForSingleObject(child, limitMs);
    if (endedAt)
        *endedAt = GetTickCount();
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(child, &exitCode);
    if (exitCode == STILL_ACTIVE)
        TerminateProcess(child, STILL_ACTIVE);
    CloseHandle(child);
    return exitCode;
}

std::string ChildTestCommand(const char* name) {
    return "\"" + ThisProgram() + "\" --gtest_also_run_disabled_tests --gtest_filter=" + name;
}

SECURITY_ATTRIBUTES g_inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// The pipe's reader stays open, unread, until the command has ended.
DWORD RunIntoUnreadPipe(const std::string& command, DWORD* endedAt) {
    HANDLE sink = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &g_inheritable, OPEN_EXISTING, 0, nullptr);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &g_inheritable, 4096))
        return STILL_ACTIVE;
    const DWORD exitCode = RunCommand(command, sink, writeEnd, endedAt);
    CloseHandle(writeEnd);
    CloseHandle(readEnd);
    CloseHandle(sink);
    return exitCode;
}

} // namespace

DWORD RunChildTest(const char* name, const std::string& output, DWORD limitMs) {
    HANDLE sink = CreateFileA(output.empty() ? "NUL" : output.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &g_inheritable,
                              output.empty() ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
    const DWORD exitCode = RunCommand(ChildTestCommand(name), sink, nullptr, nullptr, limitMs);
    CloseHandle(sink);
    return exitCode;
}

HANDLE StartChildTest(const char* name) {
    HANDLE sink = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &g_inheritable, OPEN_EXISTING, 0, nullptr);
    const HANDLE child = StartCommand(ChildTestCommand(name), sink, nullptr);
    CloseHandle(sink);
    return child;
}

DWORD RunChildTestIntoUnreadPipe(const char* name) {
    return RunIntoUnreadPipe(ChildTestCommand(name), nullptr);
}

DWORD RunProgramIntoUnreadPipe(const char* program, const std::string& arguments, DWORD* endedAt) {
    std::string path = ThisProgram();
    path = path.substr(0, path.find_last_of('\\') + 1) + program;
    return RunIntoUnreadPipe("\"" + path + "\" " + arguments, endedAt);
}

size_t Find(const kxtest::Bytes& whole, const kxtest::Bytes& part, size_t from) {
    if (from > whole.size())
        return std::string::npos;
    const auto at =
        std::search(whole.begin() + static_cast<long>(from), whole.end(), part.begin(), part.end());
    return at == whole.end() ? std::string::npos : static_cast<size_t>(at - whole.begin());
}

} // namespace kxhost
