// SPDX-License-Identifier: MIT
#include "Commands.h"
#include "Console.h"
#include "Failure.h"
#include "PlaySession.h"
#include "StatusLine.h"

#include <algorithm>

namespace cli {

int RunPlay(const Invocation& invocation) {
    PlaySession play(OpenKaldrix(), invocation.playFile);
    StatusLine line(invocation);
    WarnOfUnfinished(line, invocation.playFile, play.wave());
    // The library would wait forever for a block that never comes.
    if (!play.HasSound()) {
        line.Finish(invocation.playFile + " holds no sound data: nothing to play");
        return kSuccess;
    }
    play.Start();
    line.Print("playing " + invocation.playFile + " on " + play.device());
    while (play.Playing()) {
        if (StopRequested()) {
            const std::string at = FormatClock(std::min(play.Elapsed(), play.wave().Seconds()));
            line.Break("stopping ...");
            play.Stop();
            line.Finish("stopped " + invocation.playFile + " at " + at + " of " +
                        FormatClock(play.wave().Seconds()));
            return kInterrupted;
        }
        if (play.Overdue()) {
            play.Stop();
            throw Failure(kFailed,
                          "playing " + invocation.playFile + " did not end by itself; stopped it");
        }
        line.Show("playing " + play.ProgressText());
    }
    line.Finish("played " + invocation.playFile + " (" + FormatClock(play.wave().Seconds()) + ")");
    return kSuccess;
}

} // namespace cli
