// SPDX-License-Identifier: MIT
#include "Commands.h"
#include "Console.h"
#include "Failure.h"
#include "RecordSession.h"
#include "StatusLine.h"

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

constexpr unsigned kRefreshMs = 100;
// How long past the limit a recording whose file stopped growing still runs.
constexpr double kStalledAllowance = 5.0;

} // namespace

int RunRecord(const Invocation& invocation) {
    const double limit = invocation.seconds > 0 ? invocation.seconds : kMaxRecordSeconds;
    RecordSession record(OpenKaldrix(), invocation.recordFile);
    StatusLine line(invocation);
    record.Start();
    const bool byHand = line.terminal() && IsTerminal(stdin);
    line.Print("recording " + invocation.recordFile + " from " + record.device() +
               (byHand ? ": press Enter or Ctrl-C to stop" : ""));
    // The library writes the sound in 60 ms pieces and drops the one still
    // being captured at the stop: the recording ends once the file holds the
    // seconds asked for, not when they have passed.
    while (!StopRequested() && !EnterPressed()) {
        const double left = limit - record.RecordedSeconds();
        if (left <= 0 || record.Elapsed() > limit + kStalledAllowance)
            break;
        line.Show("recording " + record.ProgressText(line.terminal()));
        SleepMs(std::min(kRefreshMs, static_cast<unsigned>(left * 1000.0) + 1));
    }
    line.Break("stopping ...");
    const WaveFile wave = record.Stop();
    line.Finish(RecordingSummary(invocation.recordFile, wave));
    return kSuccess;
}

} // namespace cli
