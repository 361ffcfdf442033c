#pragma once

#include "platform/posix/WindowsApi.h"

#include <cstdarg>
// <alsa/error.h> declares snd_lib_error_set_local outside its extern "C"
// block; included first, it gets the C linkage the library has.
extern "C" {
#include <alsa/error.h>
}
#include <alsa/asoundlib.h>
#include <memory>
#include <string>
#include <vector>

// One ALSA PCM opened for a wave format, in non-blocking interleaved mode:
// the writer sleeps on it with Poll beside a descriptor of its own, so that
// a command reaches it at once; the reader waits on it with Wait. Under-runs,
// over-runs and a suspend are recovered inside Write, Read and Wait, so a
// stream goes on after a glitch instead of ending. One thread uses a PCM at
// a time.
class AlsaPcm {
public:
    struct DeviceName {
        std::string pcm;     // what snd_pcm_open takes
        std::string display; // what a person reads, for szPname
    };

    // The default PCM first when it opens (DefaultOpens), then the PCMs of
    // the sound cards that run in `stream`'s direction.
    static std::vector<DeviceName> ListDevices(snd_pcm_stream_t stream);
    // Whether the default PCM opens in `stream`'s direction (or is busy).
    static bool DefaultOpens(snd_pcm_stream_t stream);

    AlsaPcm() = default;
    ~AlsaPcm();
    AlsaPcm(const AlsaPcm&) = delete;
    AlsaPcm& operator=(const AlsaPcm&) = delete;

    // MMSYSERR_NOERROR, MMSYSERR_BADDEVICEID when the PCM cannot be opened,
    // MMSYSERR_ALLOCATED when another program holds it, WAVERR_BADFORMAT when
    // it does not take the format as it is.
    MMRESULT Open(const std::string& pcm, snd_pcm_stream_t stream, const WAVEFORMATEX& format,
                  const BYTE* extraFormat);
    void Close();

    // Frames written or read; 0 when there is no room or no data just now; a
    // negative ALSA error when recovery could not mend the PCM.
    long Write(const char* data, unsigned long frames);
    long Read(char* data, unsigned long frames);
    // Waits at most `milliseconds` for room or data.
    void Wait(int milliseconds);
    // Sleeps until `wakeupFd` is readable, the PCM has a period of room or
    // data (only when `forPcm`), or `timeoutMs` has passed (-1: no limit).
    void Poll(int wakeupFd, bool forPcm, int timeoutMs);
    // Frames written but not yet heard (0 when unknown or stopped).
    long Delay();
    // Starts the PCM if it is prepared but not running: playback of less
    // than the start threshold, or capture.
    void Start();
    // Drops what is queued at once and makes the PCM ready to start again.
    void Drop();

    unsigned frameBytes() const { return m_frameBytes; }
    unsigned rate() const { return m_rate; }
    // Frames in one period: the step in which the PCM moves.
    unsigned long periodFrames() const { return m_periodFrames; }

private:
    snd_pcm_t* m_pcm = nullptr;
    unsigned m_frameBytes = 0;
    unsigned m_rate = 0;
    unsigned long m_periodFrames = 0;
};

// The ALSA sample format for a wave format, or SND_PCM_FORMAT_UNKNOWN.
snd_pcm_format_t AlsaFormatOf(const WAVEFORMATEX& format, const BYTE* extraFormat);

// The extra bytes of a whole format record, which follow its 18 bytes.
inline const BYTE* ExtraFormatBytes(const WAVEFORMATEX& format) {
    return format.cbSize > 0 ? reinterpret_cast<const BYTE*>(&format) + sizeof(WAVEFORMATEX)
                             : nullptr;
}

// Opens `pcm` in `direction` for a whole format record: *opened with the
// value of a silent byte in its sample format (unsigned 8-bit samples are
// silent at the middle of their range).
MMRESULT OpenAlsaPcm(const std::string& pcm, snd_pcm_stream_t direction, const WAVEFORMATEX& format,
                     std::unique_ptr<AlsaPcm>* opened, char* silence);
