#include "platform/posix/audio/AlsaActivity.h"
#include "platform/posix/audio/AlsaTestInterface.h"

std::atomic<int> AlsaActivity::openPcms{0};
std::atomic<int> AlsaActivity::threads{0};
std::atomic<int> AlsaActivity::recoveredXruns{0};
std::atomic<int> AlsaActivity::captureStallMs{0};

namespace kxtest {

int OpenAlsaPcms() { return AlsaActivity::openPcms.load(); }

int RunningAlsaThreads() { return AlsaActivity::threads.load(); }

int RecoveredAlsaXruns() { return AlsaActivity::recoveredXruns.load(); }

void StallAlsaCapture(int milliseconds) { AlsaActivity::captureStallMs.store(milliseconds); }

} // namespace kxtest
