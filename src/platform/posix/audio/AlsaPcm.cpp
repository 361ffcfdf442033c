#include "platform/posix/audio/AlsaPcm.h"

#include <cstring>
#include <mutex>

namespace {

// ALSA reports missing cards and the like on stderr; the library reports
// through its results instead.
void QuietErrors(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(QuietErrors); });
}

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT share everything but Data1.
bool IsSubFormat(const BYTE* extra, DWORD data1) {
    static const BYTE kTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                   0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    DWORD first;
    std::memcpy(&first, extra + 6, 4);
    return first == data1 && std::memcmp(extra + 10, kTail, sizeof kTail) == 0;
}

snd_pcm_format_t PcmFormat(WORD bits, WORD containerBits) {
    if (bits == 8 && containerBits == 8)
        return SND_PCM_FORMAT_U8;
    if (bits == 16 && containerBits == 16)
        return SND_PCM_FORMAT_S16_LE;
    if (bits == 24 && containerBits == 24)
        return SND_PCM_FORMAT_S24_3LE;
    if (bits == 24 && containerBits == 32)
        return SND_PCM_FORMAT_S24_LE;
    if (bits == 32 && containerBits == 32)
        return SND_PCM_FORMAT_S32_LE;
    return SND_PCM_FORMAT_UNKNOWN;
}

std::string FirstLine(const char* text) {
    std::string line = text ? text : "";
    const size_t end = line.find('\n');
    return end == std::string::npos ? line : line.substr(0, end);
}

} // namespace

snd_pcm_format_t AlsaFormatOf(const WAVEFORMATEX& format, const BYTE* extraFormat) {
    if (format.nChannels == 0 || format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8)
        return SND_PCM_FORMAT_UNKNOWN;
    switch (format.wFormatTag) {
    case WAVE_FORMAT_PCM:
        return PcmFormat(format.wBitsPerSample, format.wBitsPerSample);
    case WAVE_FORMAT_IEEE_FLOAT:
        return format.wBitsPerSample == 32 ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_UNKNOWN;
    case WAVE_FORMAT_EXTENSIBLE: {
        if (!extraFormat || format.cbSize < 22)
            return SND_PCM_FORMAT_UNKNOWN;
        WORD validBits;
        std::memcpy(&validBits, extraFormat, 2);
        if (IsSubFormat(extraFormat, WAVE_FORMAT_PCM))
            return PcmFormat(validBits ? validBits : format.wBitsPerSample, format.wBitsPerSample);
        if (IsSubFormat(extraFormat, WAVE_FORMAT_IEEE_FLOAT) && format.wBitsPerSample == 32)
            return SND_PCM_FORMAT_FLOAT_LE;
        return SND_PCM_FORMAT_UNKNOWN;
    }
    default:
        return SND_PCM_FORMAT_UNKNOWN;
    }
}

std::vector<AlsaPcm::DeviceName> AlsaPcm::ListDevices(snd_pcm_stream_t stream) {
    SilenceAlsa();
    std::vector<DeviceName> devices{{"default", "Default ALSA device"}};
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) != 0)
        return devices;
    const char* wanted = stream == SND_PCM_STREAM_PLAYBACK ? "Output" : "Input";
    for (void** hint = hints; *hint; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* direction = snd_device_name_get_hint(*hint, "IOID");
        const bool usable = name && std::strcmp(name, "default") != 0 &&
                            std::strcmp(name, "null") != 0 &&
                            (!direction || std::strcmp(direction, wanted) == 0);
        if (usable)
            devices.push_back({name, description ? FirstLine(description) : name});
        free(name);
        free(description);
        free(direction);
    }
    snd_device_name_free_hint(hints);
    return devices;
}

bool AlsaPcm::DefaultOpens(snd_pcm_stream_t stream) {
    SilenceAlsa();
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK) != 0)
        return false;
    snd_pcm_close(pcm);
    return true;
}

AlsaPcm::~AlsaPcm() { Close(); }

MMRESULT AlsaPcm::Open(const std::string& pcm, snd_pcm_stream_t stream, const WAVEFORMATEX& format,
                       const BYTE* extraFormat) {
    SilenceAlsa();
    Close();
    const snd_pcm_format_t sampleFormat = AlsaFormatOf(format, extraFormat);
    if (sampleFormat == SND_PCM_FORMAT_UNKNOWN || format.nSamplesPerSec == 0)
        return WAVERR_BADFORMAT;
    if (snd_pcm_open(&m_pcm, pcm.c_str(), stream, 0) != 0) {
        m_pcm = nullptr;
        return MMSYSERR_BADDEVICEID;
    }
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    unsigned rate = format.nSamplesPerSec;
    // About 200 ms of buffer in 4 periods: short enough for a prompt reset,
    // long enough for a busy machine.
    unsigned bufferTime = 200000;
    unsigned periodTime = 50000;
    const bool accepted =
        snd_pcm_hw_params_any(m_pcm, params) >= 0 &&
        snd_pcm_hw_params_set_access(m_pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
        snd_pcm_hw_params_set_format(m_pcm, params, sampleFormat) >= 0 &&
        snd_pcm_hw_params_set_channels(m_pcm, params, format.nChannels) >= 0 &&
        snd_pcm_hw_params_set_rate(m_pcm, params, rate, 0) >= 0 &&
        snd_pcm_hw_params_set_buffer_time_near(m_pcm, params, &bufferTime, nullptr) >= 0 &&
        snd_pcm_hw_params_set_period_time_near(m_pcm, params, &periodTime, nullptr) >= 0 &&
        snd_pcm_hw_params(m_pcm, params) >= 0;
    if (!accepted) {
        Close();
        return WAVERR_BADFORMAT;
    }
    m_frameBytes = format.nBlockAlign;
    return MMSYSERR_NOERROR;
}

void AlsaPcm::Close() {
    if (m_pcm) {
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }
}

long AlsaPcm::Write(const char* data, unsigned long frames) {
    for (;;) {
        const snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, data, frames);
        if (written >= 0)
            return written;
        if (snd_pcm_recover(m_pcm, static_cast<int>(written), 1) < 0)
            return written;
    }
}

long AlsaPcm::Read(char* data, unsigned long frames) {
    for (;;) {
        const snd_pcm_sframes_t read = snd_pcm_readi(m_pcm, data, frames);
        if (read >= 0)
            return read;
        if (snd_pcm_recover(m_pcm, static_cast<int>(read), 1) < 0)
            return read;
    }
}

long AlsaPcm::Delay() {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(m_pcm, &delay) < 0 || delay < 0)
        return 0;
    return delay;
}

void AlsaPcm::Drop() {
    snd_pcm_drop(m_pcm);
    snd_pcm_prepare(m_pcm);
}
