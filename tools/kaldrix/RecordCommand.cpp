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

} // namespace

int RunRecord(const Invocation& invocation) {
    const double limit = invocation.seconds > 0 ? invocation.seconds : kMaxRecordSeconds;
    RecordSession record(OpenKaldrix(), invocation.recordFile);
    StatusLine line(invocation);
    record.Start();
    const bool byHand = line.terminal() && IsTerminal(stdin);
    line.Print("recording " + invocation.recordFile + " from " + record.device() +
               (byHand ? ": press Enter or Ctrl-C to stop" : ""));
    while (!StopRequested() && !EnterPressed()) {
        const double left = limit - record.Elapsed();
        if (left <= 0)
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
