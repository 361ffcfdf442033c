// SPDX-License-Identifier: MIT
#include "Arguments.h"
#include "Failure.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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

// A whole number from `lowest` to `highest` for `option`.
long ParseWhole(const std::string& option, const std::string& text, long lowest, long highest) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < lowest || value > highest)
        Usage(option + " needs a whole number from " + std::to_string(lowest) + " to " +
              std::to_string(highest) + ", not '" + text + "'");
    return value;
}

// arecord's names of the sample formats the recorder takes.
uint16_t ParseSampleFormat(const std::string& text) {
    static const struct {
        const char* name;
        uint16_t bits;
    } kFormats[] = {{"U8", 8}, {"S16_LE", 16}, {"S24_3LE", 24}, {"S32_LE", 32}};
    const auto sameLetters = [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    };
    for (const auto& format : kFormats)
        if (std::equal(text.begin(), text.end(), format.name,
                       format.name + std::strlen(format.name), sameLetters))
            return format.bits;
    Usage("-f needs U8, S16_LE, S24_3LE or S32_LE, not '" + text + "'");
}

// The options a command takes besides its files.
struct Accepts {
    bool seconds = false;
    bool json = false;
    bool format = false; // -r, -c, -f
    bool device = false; // -D
};

// An option that takes a value: "-r 8000", "--rate 8000" or "--rate=8000".
struct ValueOption {
    const char* shortName; // may be null
    const char* longName;
    bool Accepted(const Accepts& accepts) const;
    void Take(const std::string& value, Invocation& invocation) const;
};

const ValueOption kValueOptions[] = {
    {nullptr, "--seconds"}, {"-r", "--rate"},   {"-c", "--channels"},
    {"-f", "--format"},     {"-D", "--device"},
};

bool ValueOption::Accepted(const Accepts& accepts) const {
    const std::string name = longName;
    if (name == "--seconds")
        return accepts.seconds;
    return name == "--device" ? accepts.device : accepts.format;
}

void ValueOption::Take(const std::string& value, Invocation& invocation) const {
    const std::string name = longName;
    RecordingHeader::Format& format = invocation.format;
    if (name == "--seconds") {
        invocation.seconds = ParseSeconds(value);
        return;
    }
    if (name == "--device") {
        if (value.empty())
            Usage("-D needs a device name");
        invocation.device = value;
        return;
    }
    if (name == "--rate")
        format.samplesPerSec = uint32_t(ParseWhole("-r", value, 8000, 192000));
    else if (name == "--channels")
        format.channels = uint16_t(ParseWhole("-c", value, 1, 8));
    else
        format.bitsPerSample = ParseSampleFormat(value);
    invocation.formatAsked = true;
}

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
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (accepts.json && word == "--json") {
            invocation.json = true;
            continue;
        }
        const ValueOption* taken = nullptr;
        for (const ValueOption& option : kValueOptions) {
            if (!option.Accepted(accepts))
                continue;
            const std::string joined = std::string(option.longName) + "=";
            if (word.rfind(joined, 0) == 0) {
                option.Take(word.substr(joined.size()), invocation);
                taken = &option;
            } else if (word == option.longName || (option.shortName && word == option.shortName)) {
                if (i + 1 == words.size())
                    Usage(word + " needs a value");
                option.Take(words[++i], invocation);
                taken = &option;
            }
        }
        if (!taken)
            Usage("unknown option '" + word + "'");
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

// The sizes of a WAVE header are 32-bit: --seconds may not ask for more.
void CheckRecordingLength(const Invocation& invocation) {
    const RecordingHeader::Format& format = invocation.format;
    const double most =
        double(RecordingHeader::kLargestData / format.BlockAlign()) / format.samplesPerSec;
    if (invocation.seconds > most)
        Usage("--seconds at this format may be at most " + std::to_string(long(most)) +
              ", the most a WAVE file holds");
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
        auto files = Operands(words, {false, false, false, true}, invocation);
        RequireFiles(files, 1, "one file: kaldrix play [-D NAME] FILE");
        invocation.command = Invocation::Command::Play;
        invocation.playFile = files[0];
    } else if (command == "record") {
        auto files = Operands(words, {true, false, true, true}, invocation);
        RequireFiles(files, 1, "one file: kaldrix record [OPTIONS] FILE");
        CheckRecordingLength(invocation);
        invocation.command = Invocation::Command::Record;
        invocation.recordFile = files[0];
    } else if (command == "info") {
        auto files = Operands(words, {false, true}, invocation);
        RequireFiles(files, 0, "a file: kaldrix info [--json] FILE...", true);
        invocation.command = Invocation::Command::Info;
        invocation.infoFiles = files;
    } else if (command == "duplex") {
        auto files = Operands(words, {false, false, true, true}, invocation);
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
           "  kaldrix play [-D NAME] FILE        play a WAVE file to its end\n"
           "  kaldrix record [OPTIONS] FILE      record into FILE until --seconds N have\n"
           "                                     passed exactly (decimals too), Ctrl-C, or\n"
           "                                     Enter; 8000 Hz 16-bit mono unless -r, -c, -f\n"
           "  kaldrix info [--json] FILE...      show WAVE files' format, data size and\n"
           "                                     duration, and whether they are unfinished\n"
           "  kaldrix duplex PLAYFILE RECFILE    play PLAYFILE while recording RECFILE (takes\n"
           "                                     -r, -c, -f and -D as record does)\n"
           "  kaldrix devices [--json]           list the wave-out and wave-in devices the\n"
           "                                     library sees and the ones play and record use\n"
           "  kaldrix repair FILE                declare the whole frames that an unfinished\n"
           "                                     recording or a file cut short holds; no sound\n"
           "                                     byte changes\n"
           "  kaldrix --help | --version\n"
           "\n"
           "  -r, --rate RATE                    8000 to 192000 samples a second\n"
           "  -c, --channels CHANNELS            1 to 8\n"
           "  -f, --format FORMAT                U8, S16_LE, S24_3LE (24 bits in 3 bytes) or\n"
           "                                     S32_LE\n"
           "  -D, --device NAME                  the ALSA PCM to use, as aplay -D takes it\n"
           "                                     (Windows: the system's default devices)\n"
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
           "unreadable, 4 malformed WAVE file (repair: nothing to repair), 5 no audio\n"
           "device (devices: none in either direction), 6 output file cannot be created\n"
           "or written, 7 library cannot be loaded (or is too old for -r, -c and -f),\n"
           "8 the device refuses the file's format, 9 standard output does not take the\n"
           "results, 130 playback interrupted.\n"
           "\n"
           "Environment (Linux): KALDRIX_AUDIO=auto|alsa|virtual|none chooses the devices.\n"
           "See kaldrix(1) for the details.\n";
}

} // namespace cli
