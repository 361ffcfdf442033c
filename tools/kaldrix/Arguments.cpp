// SPDX-License-Identifier: MIT
#include "Arguments.h"
#include "Failure.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace cli {

namespace {

const char kTryHelp[] = " (try 'kaldrix --help')";

[[noreturn]] void Usage(const std::string& reason) { throw Failure(kUsage, reason + kTryHelp); }

double ParseSeconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0.0 ||
        value > kMaxRecordSeconds)
        Usage("--seconds needs a number above 0 and at most " +
              std::to_string(static_cast<long>(kMaxRecordSeconds)) + ", not '" + text + "'");
    return value;
}

// The options a command takes besides its files.
struct Accepts {
    bool seconds = false;
    bool json = false;
};

// Splits the words after the command into files and options; "--" ends the
// options so that a file name may start with a dash.
std::vector<std::string> Operands(const std::vector<std::string>& words, Accepts accepts,
                                  Invocation& invocation) {
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            files.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (accepts.seconds && word == "--seconds") {
            if (i + 1 == words.size())
                Usage("--seconds needs a value");
            invocation.seconds = ParseSeconds(words[++i]);
        } else if (accepts.seconds && word.rfind("--seconds=", 0) == 0) {
            invocation.seconds = ParseSeconds(word.substr(std::strlen("--seconds=")));
        } else if (accepts.json && word == "--json") {
            invocation.json = true;
        } else {
            Usage("unknown option '" + word + "'");
        }
    }
    return files;
}

// `count` files, or at least one when `count` is 0 and `many` is set.
void RequireFiles(const std::vector<std::string>& files, size_t count, const char* what,
                  bool many = false) {
    if (many ? files.empty() : files.size() != count)
        Usage(std::string("expected ") + what);
    for (const std::string& file : files)
        if (file.empty())
            Usage("a file name is empty");
}

} // namespace

Invocation ParseArguments(int argc, const char* const* argv) {
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    Invocation invocation;
    // --quiet and --verbose belong to every command and may stand anywhere
    // before "--"; the last one given counts.
    using Verbosity = Invocation::Verbosity;
    for (auto word = words.begin(); word != words.end() && *word != "--";) {
        if (*word == "--quiet" || *word == "-q") {
            invocation.verbosity = Verbosity::Quiet;
            word = words.erase(word);
        } else if (*word == "--verbose" || *word == "-v") {
            invocation.verbosity = Verbosity::Verbose;
            word = words.erase(word);
        } else {
            ++word;
        }
    }
    for (const std::string& word : words) {
        if (word == "--")
            break;
        if (word == "--help" || word == "-h")
            return invocation;
        if (word == "--version") {
            invocation.command = Invocation::Command::Version;
            return invocation;
        }
    }
    if (words.empty())
        Usage("no command given");

    const std::string command = words.front();
    words.erase(words.begin());
    if (command == "play") {
        auto files = Operands(words, {}, invocation);
        RequireFiles(files, 1, "one file: kaldrix play FILE");
        invocation.command = Invocation::Command::Play;
        invocation.playFile = files[0];
    } else if (command == "record") {
        auto files = Operands(words, {true, false}, invocation);
        RequireFiles(files, 1, "one file: kaldrix record FILE [--seconds N]");
        invocation.command = Invocation::Command::Record;
        invocation.recordFile = files[0];
    } else if (command == "info") {
        auto files = Operands(words, {false, true}, invocation);
        RequireFiles(files, 0, "a file: kaldrix info [--json] FILE...", true);
        invocation.command = Invocation::Command::Info;
        invocation.infoFiles = files;
    } else if (command == "duplex") {
        auto files = Operands(words, {}, invocation);
        RequireFiles(files, 2, "two files: kaldrix duplex PLAYFILE RECFILE");
        invocation.command = Invocation::Command::Duplex;
        invocation.playFile = files[0];
        invocation.recordFile = files[1];
    } else if (command == "devices") {
        auto files = Operands(words, {false, true}, invocation);
        RequireFiles(files, 0, "no file: kaldrix devices [--json]");
        invocation.command = Invocation::Command::Devices;
    } else if (command == "repair") {
        auto files = Operands(words, {}, invocation);
        RequireFiles(files, 1, "one file: kaldrix repair FILE");
        invocation.command = Invocation::Command::Repair;
        invocation.infoFiles = files;
    } else {
        Usage("unknown command '" + command + "'");
    }
    return invocation;
}

const char* UsageText() {
    return "usage: kaldrix [-q | -v] COMMAND ...\n"
           "\n"
           "  kaldrix play FILE                  play a WAVE file to its end\n"
           "  kaldrix record FILE [--seconds N]  record 8000 Hz 16-bit mono into FILE until N\n"
           "                                     seconds have passed, Ctrl-C, or Enter\n"
           "  kaldrix info [--json] FILE...      show WAVE files' format, data size and\n"
           "                                     duration\n"
           "  kaldrix duplex PLAYFILE RECFILE    play PLAYFILE while recording RECFILE\n"
           "  kaldrix devices [--json]           list the wave-out and wave-in devices the\n"
           "                                     library sees and the ones play and record use\n"
           "  kaldrix repair FILE                complete the header of a recording whose host\n"
           "                                     died while recording; no sound byte changes\n"
           "  kaldrix --help | --version\n"
           "\n"
           "  -q, --quiet                        show errors only\n"
           "  -v, --verbose                      show the library's log too\n"
           "  --json                             info, devices: one JSON document\n"
           "\n"
           "Ctrl-C stops playback and recording cleanly. Standard output carries only the\n"
           "results of --help, --version, info and devices; progress, messages and, with\n"
           "--verbose, the library's log (converted from GBK to the terminal's encoding on\n"
           "a terminal) go to standard error.\n"
           "\n"
           "Exit status: 0 success, 1 library failure, 2 usage, 3 input file missing or\n"
           "unreadable, 4 malformed WAVE file (repair: not an unfinished recording), 5 no\n"
           "audio device (devices: none in either direction), 6 output file cannot be\n"
           "created or written, 7 library cannot be loaded, 8 the device refuses the\n"
           "file's format, 9 standard output does not take the results, 130 playback\n"
           "interrupted.\n"
           "\n"
           "Environment (Linux): KALDRIX_AUDIO=auto|alsa|virtual|none chooses the devices.\n"
           "See kaldrix(1) for the details.\n";
}

} // namespace cli
