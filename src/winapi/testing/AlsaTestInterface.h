// SPDX-License-Identifier: MIT
// The ALSA part of the POSIX layer's test interface: what the ALSA backends
// hold, so tests can see that a stop or a close leaves nothing behind.
#pragma once

namespace kxtest {

// ALSA PCMs open now.
int OpenAlsaPcms();
// Opens of ALSA PCMs tried so far, whether they opened or not.
int TriedAlsaOpens();
// Stream threads serving ALSA PCMs now (one for each open PCM's stream).
int RunningAlsaThreads();
// Under-runs and over-runs recovered so far.
int RecoveredAlsaXruns();
// The next read of an ALSA capture waits `milliseconds` first, as on a
// machine too busy to read in time.
void StallAlsaCapture(int milliseconds);
// The next transfer of an ALSA stream meets `error` (negative, as ALSA
// returns it: -EPIPE for an xrun, -ESTRPIPE for a suspend) instead of moving
// frames, and recovers from it as from the device's own.
void FailNextAlsaTransfer(int error);
// Opens and closes of ALSA PCMs given up on that have not returned yet.
int AlsaCallsLeftBehind();
// The next ALSA call that runs on a helper thread finds no thread to be had.
void FailNextAlsaHelperStart();

} // namespace kxtest
