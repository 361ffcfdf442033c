#include "platform/posix/audio/AlsaWaveIn.h"
#include "platform/posix/audio/AlsaWaveInCapture.h"

namespace {

// The extra bytes of a format record follow its 18 bytes.
const BYTE* ExtraBytes(const WAVEFORMATEX& format) {
    return format.cbSize > 0 ? reinterpret_cast<const BYTE*>(&format) + sizeof(WAVEFORMATEX)
                             : nullptr;
}

} // namespace

bool AlsaWaveIn::Supports(const WAVEFORMATEX& format) const {
    return AlsaFormatOf(format, ExtraBytes(format)) != SND_PCM_FORMAT_UNKNOWN &&
           format.nSamplesPerSec >= 1000 && format.nSamplesPerSec <= 192000 &&
           format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign;
}

MMRESULT AlsaWaveIn::Open(const WAVEFORMATEX& format, std::unique_ptr<WaveInCapture>* capture) {
    auto pcm = std::make_unique<AlsaPcm>();
    const MMRESULT opened =
        pcm->Open(m_name.pcm, SND_PCM_STREAM_CAPTURE, format, ExtraBytes(format));
    if (opened != MMSYSERR_NOERROR)
        return opened;
    // Unsigned 8-bit samples are silent at the middle of their range.
    const bool unsigned8 = AlsaFormatOf(format, ExtraBytes(format)) == SND_PCM_FORMAT_U8;
    capture->reset(new AlsaWaveInCapture(std::move(pcm), unsigned8 ? '\x80' : '\0'));
    return MMSYSERR_NOERROR;
}
