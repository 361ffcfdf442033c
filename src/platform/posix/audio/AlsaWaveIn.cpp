#include "platform/posix/audio/AlsaWaveIn.h"
#include "platform/posix/audio/AlsaWaveInBackend.h"

MMRESULT AlsaWaveIn::CheckFormat(const WAVEFORMATEX& format) const {
    const bool recordable =
        AlsaFormatOf(format, ExtraFormatBytes(format)) != SND_PCM_FORMAT_UNKNOWN &&
        format.nSamplesPerSec >= 1000 && format.nSamplesPerSec <= 192000 &&
        format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign;
    return recordable ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

MMRESULT AlsaWaveIn::Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInBackend>* backend) {
    std::unique_ptr<AlsaPcm> pcm;
    char silence = 0;
    const MMRESULT opened = OpenAlsaPcm(m_name.pcm, SND_PCM_STREAM_CAPTURE, format, &pcm, &silence);
    if (opened == MMSYSERR_NOERROR)
        backend->reset(new AlsaWaveInBackend(std::move(pcm), silence));
    return opened;
}
