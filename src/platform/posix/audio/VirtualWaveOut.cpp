#include "platform/posix/audio/VirtualWaveOut.h"
#include "platform/posix/audio/PlayableFormat.h"
#include "platform/posix/audio/VirtualWaveOutBackend.h"
#include "platform/platform.h"

#include <cstdlib>
#include <fcntl.h>

MMRESULT VirtualWaveOut::CheckFormat(const WAVEFORMATEX& format) const {
    return CheckPlayableFormat(format);
}

MMRESULT VirtualWaveOut::Open(const WAVEFORMATEX& format,
                              std::unique_ptr<WaveOutBackend>* backend) {
    int dump = -1;
    const char* path = std::getenv("KALDRIX_VIRTUAL_OUT");
    if (path && *path) {
        dump = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (dump < 0)
            return MMSYSERR_ERROR;
    }
    backend->reset(new VirtualWaveOutBackend(PlaybackByteRate(format), format.nBlockAlign, dump));
    return MMSYSERR_NOERROR;
}
