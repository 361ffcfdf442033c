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

size_t Find(const kxtest::Bytes& whole, const kxtest::Bytes& part, size_t from) {
    if (from > whole.size())
        return std::string::npos;
    const auto at =
        std::search(whole.begin() + static_cast<long>(from), whole.end(), part.begin(), part.end());
    return at == whole.end() ? std::string::npos : static_cast<size_t>(at - whole.begin());
}

size_t FindThroughSilence(const kxtest::Bytes& whole, const kxtest::Bytes& part, int& gaps) {
    // Long enough that a pseudo-random part matches only where it is.
    const size_t kAnchor = 32;
    // Wine's runs last 5 ms to most of a second; a whole block of the
    // player's (16384 bytes) would be more.
    const size_t kLongestSilence = 16000;
    const kxtest::Bytes head(part.begin(), part.begin() + std::min(kAnchor, part.size()));
    for (size_t start = Find(whole, head); start != std::string::npos;
         start = Find(whole, head, start + 1)) {
        gaps = 0;
        size_t at = start;
        size_t next = 0;
        while (next < part.size() && at < whole.size()) {
            if (whole[at] == part[next]) {
                ++at;
                ++next;
                continue;
            }
            // Only silence may come between; the part goes on after it.
            const size_t silence = at;
            while (at < whole.size() && whole[at] == 0)
                ++at;
            const kxtest::Bytes rest(part.begin() + static_cast<long>(next),
                                     part.begin() +
                                         static_cast<long>(std::min(next + kAnchor, part.size())));
            if (at == silence || at - silence > kLongestSilence || Find(whole, rest, at) != at)
                break;
            ++gaps;
        }
        if (next == part.size())
            return start;
    }
    return std::string::npos;
}

} // namespace kxhost
