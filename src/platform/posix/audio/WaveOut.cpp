// waveOut* for POSIX: the Windows rules for handles and headers over the
// backends of WaveOutDevice.h. A backend marks a header done from its own
// thread once it has played it, through atomic operations, so an owner that
// reads the flags sees progress without a call.
#include "platform/posix/FaultInjection.h"
#include "platform/posix/ThreadState.h"
#include "platform/posix/audio/PreparedHeaders.h"
#include "platform/posix/audio/WaveHeaderFlags.h"
#include "platform/posix/audio/WaveOutDevice.h"
#include "platform/posix/audio/WaveOutTestInterface.h"
#include "platform/posix/Immortal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct WaveOutHandle {
    std::mutex mutex;
    std::unique_ptr<WaveOutStream> stream;
    std::vector<WAVEHDR*> held; // stuck in the device: never played (test interface)
    PreparedHeaders prepared;
    bool closed = false;
};

struct WaveOutTable {
    std::mutex mutex;
    std::map<HWAVEOUT, std::shared_ptr<WaveOutHandle>> handles;
    std::atomic<bool> holdHeaders{false};
};

// Built on first use and never destroyed, so it outlives every static object.
WaveOutTable& Table() {
    static WaveOutTable* table = MakeImmortal<WaveOutTable>();
    return *table;
}

std::shared_ptr<WaveOutHandle> Find(HWAVEOUT device) {
    WaveOutTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.handles.find(device);
    return it == table.handles.end() ? nullptr : it->second;
}

bool IsValidHeader(const WAVEHDR* header, UINT size) {
    return header != nullptr && size >= sizeof(WAVEHDR);
}

// Runs `operation` on the open handle behind `device` with its lock held.
template <typename Operation> MMRESULT OnHandle(HWAVEOUT device, Operation operation) {
    std::shared_ptr<WaveOutHandle> handle = Find(device);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(handle->mutex);
    if (handle->closed)
        return MMSYSERR_INVALHANDLE;
    return operation(*handle);
}

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
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutGetNumDevs", &code))
        return 0;
    return static_cast<UINT>(WaveOutDevices().size());
}

MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, LPWAVEOUTCAPSA caps, UINT size) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutGetDevCapsA", &code))
        return code;
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
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutOpen", &code))
        return code;
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
    auto handle = std::make_shared<WaveOutHandle>();
    const MMRESULT opened = device->Open(*format, &handle->stream);
    if (opened != MMSYSERR_NOERROR)
        return opened;
    const HWAVEOUT key = reinterpret_cast<HWAVEOUT>(handle.get());
    WaveOutTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.handles[key] = std::move(handle);
    *result = key;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutPrepareHeader", &code))
        return code;
    return OnHandle(device, [&](WaveOutHandle& handle) -> MMRESULT {
        if (!IsValidHeader(header, size))
            return MMSYSERR_INVALPARAM;
        const DWORD flags = FlagsOf(header);
        if (flags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        if (!(flags & WHDR_PREPARED)) {
            ClearFlags(header, WHDR_DONE);
            SetFlags(header, WHDR_PREPARED);
        }
        handle.prepared.Insert(header);
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutWrite", &code))
        return code;
    return OnHandle(device, [&](WaveOutHandle& handle) -> MMRESULT {
        if (!IsValidHeader(header, size))
            return MMSYSERR_INVALPARAM;
        const DWORD flags = FlagsOf(header);
        if (!(flags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        if (flags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        ClearFlags(header, WHDR_DONE);
        SetFlags(header, WHDR_INQUEUE);
        if (Table().holdHeaders.load(std::memory_order_acquire))
            handle.held.push_back(header);
        else
            handle.stream->Play(header); // an empty header is done at once on an idle stream
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutUnprepareHeader", &code))
        return code;
    return OnHandle(device, [&](WaveOutHandle& handle) -> MMRESULT {
        if (!IsValidHeader(header, size))
            return MMSYSERR_INVALPARAM;
        const DWORD flags = FlagsOf(header);
        if (flags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        if (flags & WHDR_PREPARED)
            ClearFlags(header, WHDR_PREPARED);
        handle.prepared.Erase(header);
        return MMSYSERR_NOERROR;
    });
}

// Stops at once and returns every queued header, except held ones.
MMRESULT waveOutReset(HWAVEOUT device) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutReset", &code))
        return code;
    return OnHandle(device, [](WaveOutHandle& handle) -> MMRESULT {
        handle.stream->Stop();
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutClose(HWAVEOUT device) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("waveOutClose", &code))
        return code;
    const MMRESULT result = OnHandle(device, [](WaveOutHandle& handle) -> MMRESULT {
        if (!handle.held.empty() || handle.stream->Busy())
            return WAVERR_STILLPLAYING;
        handle.closed = true;
        return MMSYSERR_NOERROR;
    });
    if (result == MMSYSERR_NOERROR) {
        WaveOutTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.handles.erase(device);
    }
    return result;
}

namespace kxtest {

void HoldWaveOutHeaders() { Table().holdHeaders.store(true, std::memory_order_release); }

void ReleaseWaveOutHeaders() {
    WaveOutTable& table = Table();
    table.holdHeaders.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& entry : table.handles) {
        WaveOutHandle& handle = *entry.second;
        std::lock_guard<std::mutex> handleLock(handle.mutex);
        for (WAVEHDR* header : handle.held)
            MarkDone(header);
        handle.held.clear();
    }
}

int OpenWaveOutHandles() {
    WaveOutTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return static_cast<int>(table.handles.size());
}

int PreparedWaveOutHeaders() {
    WaveOutTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    int count = 0;
    for (auto& entry : table.handles) {
        std::lock_guard<std::mutex> handleLock(entry.second->mutex);
        count += static_cast<int>(entry.second->prepared.Count());
    }
    return count;
}

} // namespace kxtest
