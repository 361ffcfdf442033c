#include "platform/posix/audio/AlsaWaveOut.h"
#include "platform/posix/audio/AlsaWaveOutStream.h"
#include "platform/posix/audio/PlayableFormat.h"

namespace {

// The extra bytes of a format record follow its 18 bytes.
const BYTE* ExtraBytes(const WAVEFORMATEX& format) {
    return format.cbSize > 0 ? reinterpret_cast<const BYTE*>(&format) + sizeof(WAVEFORMATEX)
                             : nullptr;
}

} // namespace

MMRESULT AlsaWaveOut::CheckFormat(const WAVEFORMATEX& format) const {
    const MMRESULT playable = CheckPlayableFormat(format);
    if (playable != MMSYSERR_NOERROR)
        return playable;
    return AlsaFormatOf(format, ExtraBytes(format)) == SND_PCM_FORMAT_UNKNOWN ? WAVERR_BADFORMAT
                                                                              : MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::Open(const WAVEFORMATEX& format, std::unique_ptr<WaveOutStream>* stream) {
    auto pcm = std::make_unique<AlsaPcm>();
    const MMRESULT opened =
        pcm->Open(m_name.pcm, SND_PCM_STREAM_PLAYBACK, format, ExtraBytes(format));
    if (opened != MMSYSERR_NOERROR)
        return opened;
    // Unsigned 8-bit samples are silent at the middle of their range.
    const bool unsigned8 = AlsaFormatOf(format, ExtraBytes(format)) == SND_PCM_FORMAT_U8;
    stream->reset(new AlsaWaveOutStream(std::move(pcm), unsigned8 ? '\x80' : '\0'));
    return MMSYSERR_NOERROR;
}
