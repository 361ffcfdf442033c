// SPDX-License-Identifier: MIT
// The echo's settings and what each must give, shared by the Linux suite
// (tests/log_test.cpp) and the Wine host (tests/wine/host_test.cpp): where
// the echo goes, in which encoding, and the notice an unknown value earns.
#pragma once

#include <regex>
#include <string>
#include <vector>

namespace kxtest {

struct EchoSetting {
    const char* echo;     // KALDRIX_ECHO, or unset
    const char* encoding; // KALDRIX_ECHO_ENCODING, or unset
    int target;           // 1 standard output, 2 standard error, 0 nowhere
    bool utf8;            // the library's own texts in UTF-8
    const char* before;   // what precedes the echo there
};

inline constexpr char kUnknownSettingsNotice[] =
    "KALDRIX: unknown KALDRIX_ECHO value, echoing on stdout\n"
    "KALDRIX: unknown KALDRIX_ECHO_ENCODING value, echoing GBK\n";

inline constexpr EchoSetting kEchoSettings[] = {
    {nullptr, nullptr, 1, false, ""},
    {"stdout", "gbk", 1, false, ""},
    {"stderr", nullptr, 2, false, ""},
    {"stdout", "utf-8", 1, true, ""},
    {"stderr", "utf-8", 2, true, ""},
    {"off", "utf-8", 0, false, ""},
    {"loud", "latin-1", 1, false, kUnknownSettingsNotice}};

inline std::string NameOf(const EchoSetting& setting) {
    return std::string(setting.echo ? setting.echo : "unset") + "/" +
           (setting.encoding ? setting.encoding : "unset");
}

// The messages of a day's file, its stamps left out, with LF line ends.
inline std::vector<std::string> DayFileMessages(std::string text) {
    text = std::regex_replace(text, std::regex("\r\n"), "\n");
    static const std::regex stamp("\n[0-9]+-[0-9]+-[0-9]+ [0-9]+:[0-9]+:[0-9]+:");
    std::vector<std::string> messages;
    std::sregex_token_iterator part(text.begin(), text.end(), stamp, -1), end;
    for (++part; part != end; ++part)
        messages.push_back(*part);
    return messages;
}

// The echo of those messages, in GBK: each followed by a newline.
inline std::string EchoOf(const std::vector<std::string>& messages) {
    std::string echo;
    for (const std::string& message : messages)
        echo += message + "\n";
    return echo;
}

} // namespace kxtest
