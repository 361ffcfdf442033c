// The wave-in operations over the devices that KALDRIX_AUDIO offers. Handles
// are numbers that are never reused, so a stale handle is refused rather than
// reaching a stream that has gone. Every operation can be made to fail
// through the test interface, under its Windows name.
#include "platform/posix/FaultInjection.h"
#include "platform/posix/ThreadState.h"
#include "platform/posix/audio/WaveInDevices.h"
#include "platform/posix/audio/WaveInStream.h"
#include "platform/posix/audio/WaveInTestInterface.h"
#include "platform/posix/Immortal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr DWORD kStandardFormats = 0x000FFFFF; // WAVE_FORMAT_1M08 to WAVE_FORMAT_96S16
constexpr WORD kUnmappedId = 0xFFFF;           // MM_UNMAPPED: no registered maker or product

struct WaveInTable {
    std::mutex mutex;
    std::map<HWAVEIN, std::shared_ptr<WaveInStream>> streams;
    uintptr_t nextHandle = 0x7000;
};

// Built on first use and never destroyed, so it outlives every static object.
WaveInTable& Table() {
    static WaveInTable* table = MakeImmortal<WaveInTable>();
    return *table;
}

std::shared_ptr<WaveInStream> StreamOf(HWAVEIN handle) {
    WaveInTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.streams.find(handle);
    return it == table.streams.end() ? nullptr : it->second;
}

bool Injected(const char* operation, MMRESULT* result) {
    DWORD code = 0;
    if (!InjectedFailure(operation, &code))
        return false;
    *result = code;
    return true;
}

// The device an id names, the wave mapper choosing the first; null with the
// reason in *result.
WaveInDevice* DeviceFor(UINT_PTR deviceId, MMRESULT* result) {
    const std::vector<WaveInDevice*> devices = CurrentWaveInDevices();
    if (deviceId == WAVE_MAPPER || deviceId == static_cast<UINT_PTR>(-1)) {
        if (devices.empty()) {
            *result = MMSYSERR_NODRIVER;
            return nullptr;
        }
        return devices.front();
    }
    if (deviceId >= devices.size()) {
        *result = MMSYSERR_BADDEVICEID;
        return nullptr;
    }
    return devices[deviceId];
}

// The checks every header operation shares; null with the result to give
// when they fail.
std::shared_ptr<WaveInStream> HeaderStream(HWAVEIN device, LPWAVEHDR header, UINT size,
                                           MMRESULT* result) {
    std::shared_ptr<WaveInStream> stream = StreamOf(device);
    if (!stream)
        *result = MMSYSERR_INVALHANDLE;
    else if (!header || size < sizeof(WAVEHDR))
        *result = MMSYSERR_INVALPARAM;
    else
        return stream;
    return nullptr;
}

} // namespace

UINT waveInGetNumDevs() {
    const ParkAround park;
    MMRESULT failure = 0;
    if (Injected("waveInGetNumDevs", &failure))
        return 0;
    return static_cast<UINT>(CurrentWaveInDevices().size());
}

MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, LPWAVEINCAPSA caps, UINT size) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInGetDevCapsA", &result))
        return result;
    if (!caps)
        return MMSYSERR_INVALPARAM;
    const WaveInDevice* device = DeviceFor(deviceId, &result);
    if (!device)
        return result;
    WAVEINCAPSA filled{};
    filled.wMid = kUnmappedId;
    filled.wPid = kUnmappedId;
    filled.vDriverVersion = 0x0100;
    std::snprintf(filled.szPname, sizeof filled.szPname, "%s", device->Name());
    filled.dwFormats = kStandardFormats;
    filled.wChannels = device->Channels();
    std::memcpy(caps, &filled, std::min<size_t>(size, sizeof filled));
    return MMSYSERR_NOERROR;
}

MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR, DWORD flags) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInOpen", &result))
        return result;
    if (!format)
        return MMSYSERR_INVALPARAM;
    WaveInDevice* chosen = DeviceFor(deviceId, &result);
    if (!chosen)
        return result;
    if (!chosen->Supports(*format))
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_THREAD)
        return MMSYSERR_INVALFLAG;
    if (!device)
        return MMSYSERR_INVALPARAM;

    const DWORD callbackThread = callbackType == CALLBACK_THREAD ? static_cast<DWORD>(callback) : 0;
    std::unique_ptr<WaveInCapture> capture;
    result = chosen->Open(*format, &capture);
    if (result != MMSYSERR_NOERROR)
        return result;
    WaveInTable& table = Table();
    std::shared_ptr<WaveInStream> stream;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto handle = reinterpret_cast<HWAVEIN>(table.nextHandle);
        table.nextHandle += 4;
        stream =
            std::make_shared<WaveInStream>(handle, *format, std::move(capture), callbackThread);
        table.streams[handle] = stream;
        *device = handle;
    }
    stream->NotifyOpen();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInPrepareHeader", &result))
        return result;
    std::shared_ptr<WaveInStream> stream = HeaderStream(device, header, size, &result);
    return stream ? stream->Prepare(header) : result;
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInUnprepareHeader", &result))
        return result;
    std::shared_ptr<WaveInStream> stream = HeaderStream(device, header, size, &result);
    return stream ? stream->Unprepare(header) : result;
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInAddBuffer", &result))
        return result;
    std::shared_ptr<WaveInStream> stream = HeaderStream(device, header, size, &result);
    return stream ? stream->Add(header) : result;
}

MMRESULT waveInStart(HWAVEIN device) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInStart", &result))
        return result;
    std::shared_ptr<WaveInStream> stream = StreamOf(device);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    stream->Start();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN device) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInReset", &result))
        return result;
    std::shared_ptr<WaveInStream> stream = StreamOf(device);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    stream->Reset();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN device) {
    const ParkAround park;
    MMRESULT result = MMSYSERR_NOERROR;
    if (Injected("waveInClose", &result))
        return result;
    std::shared_ptr<WaveInStream> stream = StreamOf(device);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    result = stream->Close();
    if (result == MMSYSERR_NOERROR) {
        WaveInTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.streams.erase(device);
    }
    return result;
}

namespace kxtest {

unsigned PreparedWaveInHeaders() {
    WaveInTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    size_t count = 0;
    for (const auto& entry : table.streams)
        count += entry.second->PreparedCount();
    return static_cast<unsigned>(count);
}

unsigned OpenWaveInDevices() {
    WaveInTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return static_cast<unsigned>(table.streams.size());
}

} // namespace kxtest
