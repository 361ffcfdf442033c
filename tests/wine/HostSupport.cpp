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

// Starts the child test `name` with `sink` as its standard error and, unless
// `out` is given, its standard output; the handles are the caller's to close.
// The child's process handle, or null.
HANDLE StartChild(const char* name, HANDLE sink, HANDLE out) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0)
        return nullptr;
    std::string command =
        std::string("\"") + self + "\" --gtest_also_run_disabled_tests --gtest_filter=" + name;
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

DWORD RunChild(const char* name, HANDLE sink, HANDLE out) {
    PROCESS_INFORMATION child{};
    child.hProcess = StartChild(name, sink, out);
    if (!child.hProcess)
        return STILL_ACTIVE;
    WaitForSingleObject(child.hProcess, 60000);
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hProcess);
    return exitCode;
}

SECURITY_ATTRIBUTES g_inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

} // namespace

DWORD RunChildTest(const char* name, const std::string& output) {
    HANDLE sink = CreateFileA(output.empty() ? "NUL" : output.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &g_inheritable,
                              output.empty() ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
    const DWORD exitCode = RunChild(name, sink, nullptr);
    CloseHandle(sink);
    return exitCode;
}

HANDLE StartChildTest(const char* name) {
    HANDLE sink = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &g_inheritable, OPEN_EXISTING, 0, nullptr);
    const HANDLE child = StartChild(name, sink, nullptr);
    CloseHandle(sink);
    return child;
}

DWORD RunChildTestIntoUnreadPipe(const char* name) {
    HANDLE sink = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &g_inheritable, OPEN_EXISTING, 0, nullptr);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &g_inheritable, 4096))
        return STILL_ACTIVE;
    const DWORD exitCode = RunChild(name, sink, writeEnd);
    CloseHandle(writeEnd);
    CloseHandle(readEnd);
    CloseHandle(sink);
    return exitCode;
}

size_t Find(const kxtest::Bytes& whole, const kxtest::Bytes& part, size_t from) {
    if (from > whole.size())
        return std::string::npos;
    const auto at =
        std::search(whole.begin() + static_cast<long>(from), whole.end(), part.begin(), part.end());
    return at == whole.end() ? std::string::npos : static_cast<size_t>(at - whole.begin());
}

} // namespace kxhost
