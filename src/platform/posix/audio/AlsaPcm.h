#pragma once

#include "platform/posix/WindowsApi.h"

#include <alsa/asoundlib.h>
#include <string>
#include <vector>

// One ALSA PCM opened for a wave format, in blocking interleaved mode.
// Under-runs and over-runs are recovered inside Write and Read, so a stream
// goes on after a glitch instead of ending.
class AlsaPcm {
public:
    struct DeviceName {
        std::string pcm;     // what snd_pcm_open takes
        std::string display; // what a person reads, for szPname
    };

    // The default PCM first, then the hardware and plugin PCMs that can run
    // in `stream`'s direction.
    static std::vector<DeviceName> ListDevices(snd_pcm_stream_t stream);
    // Whether the default PCM opens in `stream`'s direction.
    static bool DefaultOpens(snd_pcm_stream_t stream);

    AlsaPcm() = default;
    ~AlsaPcm();
    AlsaPcm(const AlsaPcm&) = delete;
    AlsaPcm& operator=(const AlsaPcm&) = delete;

    // MMSYSERR_NOERROR, MMSYSERR_BADDEVICEID when the PCM cannot be opened,
    // WAVERR_BADFORMAT when it does not take the format as it is.
    MMRESULT Open(const std::string& pcm, snd_pcm_stream_t stream, const WAVEFORMATEX& format,
                  const BYTE* extraFormat);
    void Close();

    // Frames written or read, or a negative ALSA error that recovery could not
    // mend. Both block until at least part of the request is done.
    long Write(const char* data, unsigned long frames);
    long Read(char* data, unsigned long frames);
    // Frames written but not yet heard (0 when unknown or stopped).
    long Delay();
    // Drops what is queued at once and makes the PCM ready to start again.
    void Drop();

    unsigned frameBytes() const { return m_frameBytes; }

private:
    snd_pcm_t* m_pcm = nullptr;
    unsigned m_frameBytes = 0;
};

// The ALSA sample format for a wave format, or SND_PCM_FORMAT_UNKNOWN.
snd_pcm_format_t AlsaFormatOf(const WAVEFORMATEX& format, const BYTE* extraFormat);
