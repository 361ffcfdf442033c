#include "platform/posix/audio/VirtualWaveIn.h"
#include "platform/posix/audio/VirtualWaveInBackend.h"

#include <cstdlib>

// Plain PCM of 8 or 16 bits in one or two channels, with the derived fields
// consistent, at any rate a sound card might offer.
MMRESULT VirtualWaveIn::CheckFormat(const WAVEFORMATEX& format) const {
    const unsigned blockAlign = format.nChannels * format.wBitsPerSample / 8u;
    const bool recordable = format.wFormatTag == WAVE_FORMAT_PCM &&
                            (format.nChannels == 1 || format.nChannels == 2) &&
                            (format.wBitsPerSample == 8 || format.wBitsPerSample == 16) &&
                            format.nSamplesPerSec >= 1000 && format.nSamplesPerSec <= 192000 &&
                            format.nBlockAlign == blockAlign &&
                            format.nAvgBytesPerSec == format.nSamplesPerSec * blockAlign;
    return recordable ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

MMRESULT VirtualWaveIn::Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInBackend>* backend) {
    *backend = std::make_unique<VirtualWaveInBackend>(format, std::getenv("KALDRIX_VIRTUAL_IN"));
    return MMSYSERR_NOERROR;
}
