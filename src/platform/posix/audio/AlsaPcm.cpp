#include "platform/posix/audio/AlsaPcm.h"
#include "platform/posix/audio/AlsaActivity.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace {

// ALSA reports missing cards and the like on stderr; the library reports
// through its results instead. The handler is the calling thread's own, for
// the length of one call, so a host's own use of ALSA keeps its messages.
void QuietError(const char*, int, const char*, int, const char*, va_list) {}

class QuietAlsa {
public:
    QuietAlsa() : m_previous(snd_lib_error_set_local(QuietError)) {}
    ~QuietAlsa() { snd_lib_error_set_local(m_previous); }
    QuietAlsa(const QuietAlsa&) = delete;
    QuietAlsa& operator=(const QuietAlsa&) = delete;

private:
    const snd_local_error_handler_t m_previous;
};

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

// At most MAXPNAMELEN - 1 bytes, never cutting a UTF-8 character in two.
std::string FitProductName(std::string name) {
    if (name.size() < MAXPNAMELEN)
        return name;
    size_t end = MAXPNAMELEN - 1;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    name.resize(end);
    return name;
}

// "front:CARD=PCH,DEV=0" described as "HDA Intel PCH, ALC892 Analog\n..."
// reads "front: HDA Intel PCH, ALC892 An": the kind of PCM first, as the
// card's description is the same for all of its PCMs.
std::string DisplayName(const std::string& pcm, const char* description) {
    const std::string kind = pcm.substr(0, pcm.find(':'));
    return FitProductName(description ? kind + ": " + FirstLine(description) : pcm);
}

// snd_pcm_recover, counted when it mends the PCM.
int Recover(snd_pcm_t* pcm, int error) {
    const int result = snd_pcm_recover(pcm, error, 1);
    if (result == 0)
        AlsaActivity::recoveredXruns.fetch_add(1);
    return result;
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

// Beside the default, only the PCMs of the sound cards are listed: ALSA names
// them for the cards it finds, in the directions they have. The other plugin
// PCMs of the configuration need settings of their own, and some of them
// (JACK) start servers or write to stderr when opened.
std::vector<AlsaPcm::DeviceName> AlsaPcm::ListDevices(snd_pcm_stream_t stream) {
    QuietAlsa quiet;
    std::vector<DeviceName> devices;
    if (DefaultOpens(stream))
        devices.push_back({"default", "ALSA default device"});
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) != 0)
        return devices;
    const char* wanted = stream == SND_PCM_STREAM_PLAYBACK ? "Output" : "Input";
    for (void** hint = hints; *hint; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* direction = snd_device_name_get_hint(*hint, "IOID");
        const bool usable = name && std::strstr(name, "CARD=") &&
                            (!direction || std::strcmp(direction, wanted) == 0);
        if (usable)
            devices.push_back({name, DisplayName(name, description)});
        free(name);
        free(description);
        free(direction);
    }
    snd_device_name_free_hint(hints);
    return devices;
}

// A PCM that is busy is there all the same: another program (or this one)
// has it open.
bool AlsaPcm::DefaultOpens(snd_pcm_stream_t stream) {
    QuietAlsa quiet;
    snd_pcm_t* pcm = nullptr;
    const int result = snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK);
    if (result == 0)
        snd_pcm_close(pcm);
    return result == 0 || result == -EBUSY;
}

AlsaPcm::~AlsaPcm() { Close(); }

MMRESULT AlsaPcm::Open(const std::string& pcm, snd_pcm_stream_t stream, const WAVEFORMATEX& format,
                       const BYTE* extraFormat) {
    QuietAlsa quiet;
    Close();
    const snd_pcm_format_t sampleFormat = AlsaFormatOf(format, extraFormat);
    if (sampleFormat == SND_PCM_FORMAT_UNKNOWN || format.nSamplesPerSec == 0)
        return WAVERR_BADFORMAT;
    const int opened = snd_pcm_open(&m_pcm, pcm.c_str(), stream, SND_PCM_NONBLOCK);
    if (opened != 0) {
        m_pcm = nullptr;
        return opened == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_BADDEVICEID;
    }
    AlsaActivity::openPcms.fetch_add(1);
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    // Playback: about 200 ms of buffer in 4 periods, short enough for a
    // prompt reset and for the last bytes of a header to be heard before a
    // close, long enough for a busy machine; a playing writer wakes once a
    // period. Capture: 2 s, so that a reader held up by a busy machine loses
    // nothing (a reset drops it at once all the same).
    unsigned bufferTime = stream == SND_PCM_STREAM_CAPTURE ? 2000000 : 200000;
    unsigned periodTime = 50000;
    snd_pcm_uframes_t periodFrames = 0;
    const bool accepted =
        snd_pcm_hw_params_any(m_pcm, params) >= 0 &&
        snd_pcm_hw_params_set_access(m_pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
        snd_pcm_hw_params_set_format(m_pcm, params, sampleFormat) >= 0 &&
        snd_pcm_hw_params_set_channels(m_pcm, params, format.nChannels) >= 0 &&
        snd_pcm_hw_params_set_rate(m_pcm, params, format.nSamplesPerSec, 0) >= 0 &&
        snd_pcm_hw_params_set_buffer_time_near(m_pcm, params, &bufferTime, nullptr) >= 0 &&
        snd_pcm_hw_params_set_period_time_near(m_pcm, params, &periodTime, nullptr) >= 0 &&
        snd_pcm_hw_params(m_pcm, params) >= 0 &&
        snd_pcm_hw_params_get_period_size(params, &periodFrames, nullptr) >= 0;
    if (!accepted) {
        Close();
        return WAVERR_BADFORMAT;
    }
    m_frameBytes = format.nBlockAlign;
    m_rate = format.nSamplesPerSec;
    m_periodFrames = periodFrames > 0 ? periodFrames : 1;
    return MMSYSERR_NOERROR;
}

void AlsaPcm::Close() {
    QuietAlsa quiet;
    if (m_pcm) {
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
        AlsaActivity::openPcms.fetch_sub(1);
    }
}

long AlsaPcm::Write(const char* data, unsigned long frames) {
    QuietAlsa quiet;
    for (;;) {
        const snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, data, frames);
        if (written >= 0)
            return written;
        if (written == -EAGAIN)
            return 0;
        if (Recover(m_pcm, static_cast<int>(written)) < 0)
            return written;
    }
}

// A recovered capture is only prepared: it is started again at once.
long AlsaPcm::Read(char* data, unsigned long frames) {
    QuietAlsa quiet;
    for (;;) {
        const snd_pcm_sframes_t read = snd_pcm_readi(m_pcm, data, frames);
        if (read >= 0)
            return read;
        if (read == -EAGAIN) {
            Start();
            return 0;
        }
        if (Recover(m_pcm, static_cast<int>(read)) < 0)
            return read;
        Start();
    }
}

void AlsaPcm::Wait(int milliseconds) {
    QuietAlsa quiet;
    const int result = snd_pcm_wait(m_pcm, milliseconds);
    if (result < 0)
        Recover(m_pcm, result);
}

void AlsaPcm::Poll(int wakeupFd, bool forPcm, int timeoutMs) {
    QuietAlsa quiet;
    constexpr int kMaxDescriptors = 8;
    pollfd descriptors[kMaxDescriptors];
    descriptors[0] = pollfd{wakeupFd, POLLIN, 0};
    int pcmCount = 0;
    if (forPcm)
        pcmCount = snd_pcm_poll_descriptors(m_pcm, descriptors + 1, kMaxDescriptors - 1);
    if (pcmCount < 0)
        pcmCount = 0;
    if (::poll(descriptors, 1 + pcmCount, timeoutMs) <= 0 || pcmCount == 0)
        return;
    // The plugin learns here that it was woken, and clears what woke it.
    // An under-run, an over-run or a suspend shows as POLLERR: the next
    // Write or Read meets it and recovers.
    unsigned short events = 0;
    snd_pcm_poll_descriptors_revents(m_pcm, descriptors + 1, pcmCount, &events);
}

// After an under-run all that was written has been played, whatever the
// delay still says (the pulse plugin keeps its last figure).
long AlsaPcm::Delay() {
    QuietAlsa quiet;
    if (snd_pcm_state(m_pcm) == SND_PCM_STATE_XRUN)
        return 0;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(m_pcm, &delay) < 0 || delay < 0)
        return 0;
    return delay;
}

void AlsaPcm::Start() {
    QuietAlsa quiet;
    if (snd_pcm_state(m_pcm) == SND_PCM_STATE_PREPARED)
        snd_pcm_start(m_pcm);
}

void AlsaPcm::Drop() {
    QuietAlsa quiet;
    snd_pcm_drop(m_pcm);
    snd_pcm_prepare(m_pcm);
}

MMRESULT OpenAlsaPcm(const std::string& pcm, snd_pcm_stream_t direction, const WAVEFORMATEX& format,
                     std::unique_ptr<AlsaPcm>* opened, char* silence) {
    auto candidate = std::make_unique<AlsaPcm>();
    const BYTE* extra = ExtraFormatBytes(format);
    const MMRESULT result = candidate->Open(pcm, direction, format, extra);
    if (result != MMSYSERR_NOERROR)
        return result;
    *silence = AlsaFormatOf(format, extra) == SND_PCM_FORMAT_U8 ? '\x80' : '\0';
    *opened = std::move(candidate);
    return MMSYSERR_NOERROR;
}
