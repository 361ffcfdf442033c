// The wave-in operations over the devices that KALDRIX_AUDIO offers. Handles
// are numbers that are never reused, so a stale handle is refused rather than
// reaching a stream that has gone. Every operation can be made to fail
// through the test interface, under its Windows name.
#include "platform/posix/Immortal.h"
#include "platform/posix/Operation.h"
#include "platform/posix/audio/WaveInDevices.h"
#include "platform/posix/audio/WaveInHandle.h"
#include "platform/posix/audio/WaveInTestInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kStandardFormats = 0x000FFFFF; // WAVE_FORMAT_1M08 to WAVE_FORMAT_96S16
constexpr WORD kUnmappedId = 0xFFFF;           // MM_UNMAPPED: no registered maker or product

using WaveInTable = HandleTable<HWAVEIN, WaveInHandle>;

// Built on first use and never destroyed, so it outlives every static object.
WaveInTable& Table() {
    static WaveInTable* table = MakeImmortal<WaveInTable>(0x7000, 4);
    return *table;
}

// The device an id names, the wave mapper choosing the first; null with the
// reason in *result.
std::shared_ptr<WaveInDevice> DeviceFor(UINT_PTR deviceId, MMRESULT* result) {
    const std::vector<std::shared_ptr<WaveInDevice>> devices = WaveInDevices();
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

} // namespace

UINT waveInGetNumDevs() {
    const Operation operation("waveInGetNumDevs");
    return operation.Failed() ? 0 : static_cast<UINT>(WaveInDevices().size());
}

MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, LPWAVEINCAPSA caps, UINT size) {
    const Operation operation("waveInGetDevCapsA");
    if (operation.Failed())
        return operation.Code();
    if (!caps)
        return MMSYSERR_INVALPARAM;
    MMRESULT result = MMSYSERR_NOERROR;
    const std::shared_ptr<WaveInDevice> device = DeviceFor(deviceId, &result);
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

MMRESULT waveInOpen(LPHWAVEIN result, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR, DWORD flags) {
    const Operation operation("waveInOpen");
    if (operation.Failed())
        return operation.Code();
    if (!format)
        return MMSYSERR_INVALPARAM;
    MMRESULT opened = MMSYSERR_NOERROR;
    const std::shared_ptr<WaveInDevice> device = DeviceFor(deviceId, &opened);
    if (!device)
        return opened;
    const MMRESULT check = device->CheckFormat(*format);
    if (check != MMSYSERR_NOERROR || (flags & WAVE_FORMAT_QUERY))
        return check;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_THREAD)
        return MMSYSERR_INVALFLAG;
    if (!result)
        return MMSYSERR_INVALPARAM;
    std::unique_ptr<WaveInBackend> backend;
    opened = device->Open(*format, &backend);
    if (opened != MMSYSERR_NOERROR)
        return opened;
    // Messages go to the thread that `callback` names.
    const DWORD thread = callbackType == CALLBACK_THREAD ? static_cast<DWORD>(callback) : 0;
    std::shared_ptr<WaveInHandle> handle;
    *result = Table().Add([&](HWAVEIN number) {
        handle = std::make_shared<WaveInHandle>(number, *format, std::move(backend), thread);
        return handle;
    });
    handle->NotifyOpen();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveInPrepareHeader", Table(), device, IsValidHeader(header, size),
                        [&](WaveInHandle& handle) { return handle.Prepare(header); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveInUnprepareHeader", Table(), device, IsValidHeader(header, size),
                        [&](WaveInHandle& handle) { return handle.Unprepare(header); });
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveInAddBuffer", Table(), device, IsValidHeader(header, size),
                        [&](WaveInHandle& handle) { return handle.Add(header); });
}

MMRESULT waveInStart(HWAVEIN device) {
    return CallOnHandle("waveInStart", Table(), device, true,
                        [](WaveInHandle& handle) { return handle.Start(); });
}

MMRESULT waveInReset(HWAVEIN device) {
    return CallOnHandle("waveInReset", Table(), device, true,
                        [](WaveInHandle& handle) { return handle.Reset(); });
}

MMRESULT waveInClose(HWAVEIN device) { return CloseOnHandle("waveInClose", Table(), device); }

namespace kxtest {

unsigned PreparedWaveInHeaders() {
    size_t count = 0;
    Table().ForEach([&](WaveInHandle& handle) { count += handle.PreparedCount(); });
    return static_cast<unsigned>(count);
}

unsigned KeptWaveInHeaders() {
    size_t count = 0;
    Table().ForEach([&](WaveInHandle& handle) { count += handle.KeptCount(); });
    return static_cast<unsigned>(count);
}

unsigned OpenWaveInDevices() { return static_cast<unsigned>(Table().Size()); }

} // namespace kxtest
