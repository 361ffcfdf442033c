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

// Splits the words after the command into files and the --seconds option;
// "--" ends the options so that a file name may start with a dash.
std::vector<std::string> Operands(const std::vector<std::string>& words, bool takesSeconds,
                                  double& seconds) {
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            files.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (takesSeconds && word == "--seconds") {
            if (i + 1 == words.size())
                Usage("--seconds needs a value");
            seconds = ParseSeconds(words[++i]);
        } else if (takesSeconds && word.rfind("--seconds=", 0) == 0) {
            seconds = ParseSeconds(word.substr(std::strlen("--seconds=")));
        } else {
            Usage("unknown option '" + word + "'");
        }
    }
    return files;
}

void RequireFiles(const std::vector<std::string>& files, size_t count, const char* what) {
    if (files.size() != count)
        Usage(std::string("expected ") + what);
    for (const std::string& file : files)
        if (file.empty())
            Usage("a file name is empty");
}

} // namespace

Invocation ParseArguments(int argc, const char* const* argv) {
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    Invocation invocation;
    // --quiet belongs to every command and may stand anywhere before "--".
    for (auto word = words.begin(); word != words.end() && *word != "--";) {
        if (*word == "--quiet" || *word == "-q") {
            invocation.quiet = true;
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
        auto files = Operands(words, false, invocation.seconds);
        RequireFiles(files, 1, "one file: kaldrix play FILE");
        invocation.command = Invocation::Command::Play;
        invocation.playFile = files[0];
    } else if (command == "record") {
        auto files = Operands(words, true, invocation.seconds);
        RequireFiles(files, 1, "one file: kaldrix record FILE [--seconds N]");
        invocation.command = Invocation::Command::Record;
        invocation.recordFile = files[0];
    } else if (command == "info") {
        auto files = Operands(words, false, invocation.seconds);
        RequireFiles(files, 1, "one file: kaldrix info FILE");
        invocation.command = Invocation::Command::Info;
        invocation.infoFile = files[0];
    } else if (command == "duplex") {
        auto files = Operands(words, false, invocation.seconds);
        RequireFiles(files, 2, "two files: kaldrix duplex PLAYFILE RECFILE");
        invocation.command = Invocation::Command::Duplex;
        invocation.playFile = files[0];
        invocation.recordFile = files[1];
    } else if (command == "devices") {
        auto files = Operands(words, false, invocation.seconds);
        RequireFiles(files, 0, "no file: kaldrix devices");
        invocation.command = Invocation::Command::Devices;
    } else if (command == "repair") {
        auto files = Operands(words, false, invocation.seconds);
        RequireFiles(files, 1, "one file: kaldrix repair FILE");
        invocation.command = Invocation::Command::Repair;
        invocation.infoFile = files[0];
    } else {
        Usage("unknown command '" + command + "'");
    }
    return invocation;
}

const char* UsageText() {
    return "usage: kaldrix [--quiet] COMMAND ...\n"
           "\n"
           "  kaldrix play FILE                  play a WAVE file to its end\n"
           "  kaldrix record FILE [--seconds N]  record 8000 Hz 16-bit mono into FILE until N\n"
           "                                     seconds have passed, Ctrl-C, or Enter\n"
           "  kaldrix info FILE                  show a WAVE file's format, data size and "
           "duration\n"
           "  kaldrix duplex PLAYFILE RECFILE    play PLAYFILE while recording RECFILE\n"
           "  kaldrix devices                    list the wave-out and wave-in devices the\n"
           "                                     library sees and the ones play and record use\n"
           "  kaldrix repair FILE                complete the header of a recording whose host\n"
           "                                     died while recording; no sound byte changes\n"
           "  kaldrix --help | --version\n"
           "\n"
           "  -q, --quiet                        do not show the library's log\n"
           "\n"
           "Ctrl-C stops playback and recording cleanly. kaldrix writes its own messages to\n"
           "standard error; standard output carries the library's log, converted from GBK\n"
           "to the terminal's encoding on a terminal and passed on unchanged otherwise.\n"
           "\n"
           "Exit status: 0 success, 1 library failure, 2 usage, 3 input file missing or\n"
           "unreadable, 4 malformed WAVE file (repair: not an unfinished recording), 5 no\n"
           "audio device (devices: none in either direction), 6 output file cannot be\n"
           "created or written, 7 library cannot be loaded, 130 playback interrupted.\n"
           "\n"
           "Environment (Linux): KALDRIX_AUDIO=auto|alsa|virtual|none chooses the devices.\n"
           "See kaldrix(1) for the details.\n";
}

} // namespace cli
