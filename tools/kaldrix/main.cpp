// SPDX-License-Identifier: MIT
// kaldrix: plays, records and inspects WAVE files through the library's six
// functions. Standard output carries only its results; its progress and
// messages go to standard error, and with --verbose the library's log too.
#include "Arguments.h"
#include "AudioDevices.h"
#include "Commands.h"
#include "Console.h"
#include "Failure.h"
#include "LibraryLog.h"
#include "StatusLine.h"

#include <exception>

namespace {

int Run(const cli::Invocation& invocation) {
    using Command = cli::Invocation::Command;
    if (!invocation.device.empty()) {
        const std::string note = cli::UseDevice(invocation.device);
        if (!note.empty())
            cli::StatusLine(invocation).Print(note);
    }
    switch (invocation.command) {
    case Command::Help:
        cli::WriteResult(cli::UsageText());
        return cli::kSuccess;
    case Command::Version:
        cli::WriteResult("kaldrix " KALDRIX_VERSION "\n"
                         "Copyright (c) 2026 The KALDRIX developers\n"
                         "License: MIT <https://opensource.org/license/mit>\n");
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

} // namespace

int main(int argc, char** argv) {
    if (!cli::OpenClosedStandardStreams())
        return cli::ReportFailure("cannot open the null device for a closed standard stream",
                                  cli::kFailed);
    // The command line first: --verbose decides whether the log is shown.
    cli::Invocation invocation;
    try {
        invocation = cli::ParseArguments(argc, argv);
    } catch (const cli::Failure& failure) {
        return cli::ReportFailure(failure.what(), failure.status());
    }
    const cli::LibraryLog log(invocation.verbosity == cli::Invocation::Verbosity::Verbose);
    try {
        cli::InstallStopRequest();
        return Run(invocation);
    } catch (const cli::Failure& failure) {
        return cli::ReportFailure(failure.what(), failure.status());
    } catch (const std::exception& error) {
        return cli::ReportFailure(error.what(), cli::kFailed);
    }
}
