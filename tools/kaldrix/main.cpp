// kaldrix: plays, records and inspects WAVE files through the library's six
// functions. Its own messages go to standard error; standard output carries
// the library's log.
#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "Failure.h"
#include "LibraryLog.h"

#include <cstdio>
#include <exception>

namespace {

int Run(const cli::Invocation& invocation) {
    using Command = cli::Invocation::Command;
    switch (invocation.command) {
    case Command::Help:
        cli::LibraryLog::WriteOwn(cli::UsageText());
        return cli::kSuccess;
    case Command::Version:
        cli::LibraryLog::WriteOwn("kaldrix " KALDRIX_VERSION "\n");
        return cli::kSuccess;
    case Command::Info:
        return cli::RunInfo(invocation);
    case Command::Play:
        return cli::RunPlay(invocation);
    case Command::Record:
        return cli::RunRecord(invocation);
    case Command::Duplex:
        return cli::RunDuplex(invocation);
    case Command::Devices:
        return cli::RunDevices(invocation);
    case Command::Repair:
        return cli::RunRepair(invocation);
    }
    return cli::kFailed;
}

int Report(const char* message, int status) {
    std::fprintf(stderr, "kaldrix: %s\n", message);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // The command line first: --quiet decides what becomes of the log.
    cli::Invocation invocation;
    try {
        invocation = cli::ParseArguments(argc, argv);
    } catch (const cli::Failure& failure) {
        const cli::LibraryLog log(false);
        return Report(failure.what(), failure.status());
    }
    const cli::LibraryLog log(invocation.quiet);
    try {
        cli::InstallStopRequest();
        return Run(invocation);
    } catch (const cli::Failure& failure) {
        return Report(failure.what(), failure.status());
    } catch (const std::exception& error) {
        return Report(error.what(), cli::kFailed);
    }
}
