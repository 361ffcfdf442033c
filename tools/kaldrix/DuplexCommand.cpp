// SPDX-License-Identifier: MIT
#include "Commands.h"
#include "Console.h"
#include "Failure.h"
#include "PlaySession.h"
#include "RecordSession.h"
#include "StatusLine.h"

#include <algorithm>
#include <filesystem>

namespace cli {

int RunDuplex(const Invocation& invocation) {
    const Library& library = OpenKaldrix();
    PlaySession play(library, invocation.playFile);
    std::error_code ignored;
    if (std::filesystem::equivalent(invocation.playFile, invocation.recordFile, ignored))
        throw Failure(kUsage, "cannot record into " + invocation.recordFile + " while playing it");
    StatusLine line(invocation);
    WarnOfUnfinished(line, invocation.playFile, play.wave());
    if (!play.HasSound()) {
        line.Finish(invocation.playFile + " holds no sound data: nothing to play");
        return kSuccess;
    }

    // Recording first, so that the recording spans the whole playback.
    RecordSession record(library, invocation.recordFile, invocation.format);
    record.Start();
    play.Start();
    line.Print("playing " + invocation.playFile + " on " + play.device() + " while recording " +
               invocation.recordFile + " from " + record.device());
    bool interrupted = false;
    while (play.Playing()) {
        if (StopRequested()) {
            interrupted = true;
            line.Break("stopping the playback ...");
            play.Stop();
            break;
        }
        if (play.Overdue()) {
            play.Stop();
            throw Failure(kFailed,
                          "playing " + invocation.playFile + " did not end by itself; stopped it");
        }
        // Without the level meter both fit one line of 80 columns.
        line.Show("playing " + play.ProgressText() + "  recording " + record.ProgressText(false));
    }
    const std::string played = (interrupted ? "stopped " : "played ") + invocation.playFile +
                               " at " +
                               FormatClock(std::min(play.Elapsed(), play.wave().Seconds())) +
                               " of " + FormatClock(play.wave().Seconds());
    line.Break("stopping the recording ...");
    const WaveFile wave = record.Stop(RecordedFramesFor(kMaxRecordSeconds, invocation.format));
    line.Finish(played + "; " + RecordingSummary(invocation.recordFile, wave));
    return interrupted ? kInterrupted : kSuccess;
}

} // namespace cli
