#include "platform/posix/audio/AlsaActivity.h"
#include "platform/posix/audio/AlsaTestInterface.h"

std::atomic<int> AlsaActivity::openPcms{0};
std::atomic<int> AlsaActivity::threads{0};

namespace kxtest {

int OpenAlsaPcms() { return AlsaActivity::openPcms.load(); }

int RunningAlsaThreads() { return AlsaActivity::threads.load(); }

} // namespace kxtest
