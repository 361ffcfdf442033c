#include "platform/posix/audio/AlsaWaveOut.h"
#include "platform/posix/audio/AlsaWaveOutBackend.h"
#include "platform/posix/audio/PlayableFormat.h"

MMRESULT AlsaWaveOut::CheckFormat(const WAVEFORMATEX& format) const {
    const MMRESULT playable = CheckPlayableFormat(format);
    if (playable != MMSYSERR_NOERROR)
        return playable;
    return AlsaFormatOf(format, ExtraFormatBytes(format)) == SND_PCM_FORMAT_UNKNOWN
               ? WAVERR_BADFORMAT
               : MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutBackend>* backend) {
    std::unique_ptr<AlsaPcm> pcm;
    char silence = 0;
    const MMRESULT opened =
        OpenAlsaPcm(m_name.pcm, SND_PCM_STREAM_PLAYBACK, format, &pcm, &silence);
    if (opened == MMSYSERR_NOERROR)
        backend->reset(new AlsaWaveOutBackend(std::move(pcm), silence));
    return opened;
}
