// waveOut* for POSIX: the Windows rules for handles and headers
// (WaveOutHandle) over the devices that KALDRIX_AUDIO offers. Handles are
// numbers that are never reused, so a stale handle is refused rather than
// reaching a device that has gone. Every operation can be made to fail
// through the test interface, under its Windows name.
#include "platform/posix/Immortal.h"
#include "platform/posix/Operation.h"
#include "platform/posix/audio/WaveOutDevices.h"
#include "platform/posix/audio/WaveOutHandle.h"
#include "platform/posix/audio/WaveOutTestInterface.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

using WaveOutTable = HandleTable<HWAVEOUT, WaveOutHandle>;

// Built on first use and never destroyed, so it outlives every static object.
WaveOutTable& Table() {
    static WaveOutTable* table = MakeImmortal<WaveOutTable>(0x5000, 4);
    return *table;
}

std::atomic<bool> g_holdHeaders{false};

// WAVE_MAPPER plays on the first device.
bool ResolveDevice(UINT deviceId, std::shared_ptr<WaveOutDevice>* device) {
    const auto devices = WaveOutDevices();
    if (deviceId == WAVE_MAPPER && !devices.empty())
        deviceId = 0;
    if (deviceId >= devices.size())
        return false;
    *device = devices[deviceId];
    return true;
}

} // namespace

UINT waveOutGetNumDevs() {
    const Operation operation("waveOutGetNumDevs");
    return operation.Failed() ? 0 : static_cast<UINT>(WaveOutDevices().size());
}

MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, LPWAVEOUTCAPSA caps, UINT size) {
    const Operation operation("waveOutGetDevCapsA");
    if (operation.Failed())
        return operation.Code();
    std::shared_ptr<WaveOutDevice> device;
    if (deviceId > WAVE_MAPPER || !ResolveDevice(static_cast<UINT>(deviceId), &device))
        return MMSYSERR_BADDEVICEID;
    if (!caps)
        return MMSYSERR_INVALPARAM;
    WAVEOUTCAPSA filled{};
    filled.vDriverVersion = 0x0100;
    std::strncpy(filled.szPname, device->Name(), MAXPNAMELEN - 1);
    filled.wChannels = 8;
    std::memcpy(caps, &filled, std::min<size_t>(size, sizeof filled));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutOpen(LPHWAVEOUT result, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR, DWORD_PTR,
                     DWORD flags) {
    const Operation operation("waveOutOpen");
    if (operation.Failed())
        return operation.Code();
    std::shared_ptr<WaveOutDevice> device;
    if (!ResolveDevice(deviceId, &device))
        return MMSYSERR_BADDEVICEID;
    if (!format)
        return MMSYSERR_INVALPARAM;
    // This layer sends no notifications: the caller polls the header flags.
    if ((flags & CALLBACK_TYPEMASK) != CALLBACK_NULL)
        return MMSYSERR_INVALFLAG;
    const MMRESULT check = device->CheckFormat(*format);
    if (check != MMSYSERR_NOERROR || (flags & WAVE_FORMAT_QUERY))
        return check;
    if (!result)
        return MMSYSERR_INVALPARAM;
    std::unique_ptr<WaveOutBackend> backend;
    const MMRESULT opened = device->Open(*format, &backend);
    if (opened != MMSYSERR_NOERROR)
        return opened;
    auto handle = std::make_shared<WaveOutHandle>(std::move(backend));
    *result = Table().Add([&](HWAVEOUT) { return handle; });
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveOutPrepareHeader", Table(), device, IsValidHeader(header, size),
                        [&](WaveOutHandle& handle) { return handle.Prepare(header); });
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return CallOnHandle(
        "waveOutWrite", Table(), device, IsValidHeader(header, size),
        [&](WaveOutHandle& handle) { return handle.Write(header, g_holdHeaders.load()); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveOutUnprepareHeader", Table(), device, IsValidHeader(header, size),
                        [&](WaveOutHandle& handle) { return handle.Unprepare(header); });
}

MMRESULT waveOutReset(HWAVEOUT device) {
    return CallOnHandle("waveOutReset", Table(), device, true,
                        [](WaveOutHandle& handle) { return handle.Reset(); });
}

MMRESULT waveOutClose(HWAVEOUT device) { return CloseOnHandle("waveOutClose", Table(), device); }

namespace kxtest {

void HoldWaveOutHeaders() { g_holdHeaders.store(true); }

void ReleaseWaveOutHeaders() {
    g_holdHeaders.store(false);
    Table().ForEach([](WaveOutHandle& handle) { handle.ReleaseHeld(); });
}

int KeptWaveOutHeaders() {
    size_t count = 0;
    Table().ForEach([&](WaveOutHandle& handle) { count += handle.KeptCount(); });
    return static_cast<int>(count);
}

int OpenWaveOutHandles() { return static_cast<int>(Table().Size()); }

int PreparedWaveOutHeaders() {
    size_t count = 0;
    Table().ForEach([&](WaveOutHandle& handle) { count += handle.PreparedCount(); });
    return static_cast<int>(count);
}

} // namespace kxtest
