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
    // The file holds exactly the frames asked for, or at most what its
    // header can declare: the loop runs until the library has written at
    // least as many, and the stop cuts off the rest.
    const uint64_t frames = RecordedFramesFor(limit, invocation.format);
    RecordSession record(OpenKaldrix(), invocation.recordFile, invocation.format);
    StatusLine line(invocation);
    record.Start();
    const bool byHand = line.terminal() && IsTerminal(stdin);
    line.Print("recording " + invocation.recordFile + " from " + record.device() +
               (byHand ? ": press Enter or Ctrl-C to stop" : ""));
    const double frameRate = invocation.format.samplesPerSec;
    while (!StopRequested() && !EnterPressed()) {
        const uint64_t recorded = record.RecordedFrames();
        if (recorded >= frames || record.Elapsed() > limit + kStalledAllowance)
            break;
        const double left = double(frames - recorded) / frameRate;
        line.Show("recording " + record.ProgressText(line.terminal()));
        SleepMs(std::min(kRefreshMs, static_cast<unsigned>(left * 1000.0) + 1));
    }
    line.Break("stopping ...");
    const WaveFile wave = record.Stop(frames);
    line.Finish(RecordingSummary(invocation.recordFile, wave));
    return kSuccess;
}

} // namespace cli
