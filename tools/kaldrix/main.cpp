// kaldrix: plays, records and inspects WAVE files through the library's six
// functions. Its own messages go to standard error; standard output carries
// the library's log.
#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "Failure.h"

#include <cstdio>
#include <exception>

namespace {

int Run(const cli::Invocation& invocation) {
    using Command = cli::Invocation::Command;
    switch (invocation.command) {
    case Command::Help:
        std::fputs(cli::UsageText(), stdout);
        return cli::kSuccess;
    case Command::Version:
        std::puts("kaldrix " KALDRIX_VERSION);
        return cli::kSuccess;
    case Command::Info:
        return cli::RunInfo(invocation);
    case Command::Play:
        return cli::RunPlay(invocation);
    case Command::Record:
        return cli::RunRecord(invocation);
    case Command::Duplex:
        return cli::RunDuplex(invocation);
    }
    return cli::kFailed;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const cli::Invocation invocation = cli::ParseArguments(argc, argv);
        cli::InstallStopRequest();
        return Run(invocation);
    } catch (const cli::Failure& failure) {
        std::fprintf(stderr, "kaldrix: %s\n", failure.what());
        return failure.status();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kaldrix: %s\n", error.what());
        return cli::kFailed;
    }
}
