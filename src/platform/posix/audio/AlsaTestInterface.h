// The ALSA part of the POSIX layer's test interface: what the ALSA backends
// hold, so tests can see that a stop or a close leaves nothing behind.
#pragma once

namespace kxtest {

// ALSA PCMs open now.
int OpenAlsaPcms();
// Writer and reader threads of the ALSA backends running now.
int RunningAlsaThreads();
// Under-runs and over-runs recovered so far.
int RecoveredAlsaXruns();
// The next read of an ALSA capture waits `milliseconds` first, as on a
// machine too busy to read in time.
void StallAlsaCapture(int milliseconds);

} // namespace kxtest
