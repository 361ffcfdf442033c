// SPDX-License-Identifier: MIT
// waveIn* and waveOut* for POSIX: the operation entry (fault injection,
// parking), the handle tables, and the devices of the backend KALDRIX_AUDIO
// chose; WaveStream does the rest. Handles are numbers that are never reused,
// so a stale handle is refused rather than reaching a stream that has gone.
#include "winapi/kernel/Immortal.h"
#include "winapi/kernel/KernelObject.h"
#include "winapi/kernel/Operation.h"
#include "winapi/testing/WaveInTestInterface.h"
#include "winapi/testing/WaveOutTestInterface.h"
#include "winapi/audio/WaveStream.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kStandardFormats = 0x000FFFFF; // WAVE_FORMAT_1M08 to WAVE_FORMAT_96S16
constexpr WORD kUnmappedId = 0xFFFF;           // MM_UNMAPPED: no registered maker or product

template <typename Handle> using StreamTable = HandleTable<Handle, WaveStream>;

// Built on first use and never destroyed, so they outlive every static object.
StreamTable<HWAVEOUT>& OutTable() {
    static auto* table = MakeImmortal<StreamTable<HWAVEOUT>>(0x5000, 4);
    return *table;
}

StreamTable<HWAVEIN>& InTable() {
    static auto* table = MakeImmortal<StreamTable<HWAVEIN>>(0x7000, 4);
    return *table;
}

std::atomic<bool> g_holdHeaders{false};

// The device an id names, the wave mapper (and -1) choosing the first; false
// with the reason in *result.
bool FindDevice(Direction direction, UINT_PTR deviceId, ChosenDevice* device, MMRESULT* result) {
    const std::vector<ChosenDevice> devices = ChosenDevices(direction);
    const bool mapper = deviceId == WAVE_MAPPER || deviceId == static_cast<UINT_PTR>(-1);
    if (mapper)
        deviceId = 0;
    if (deviceId >= devices.size()) {
        *result =
            mapper && direction == Direction::Capture ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
        return false;
    }
    *device = devices[deviceId];
    return true;
}

// What both opens share after their own checks: the format, the query, the
// device, the stream in its table.
template <typename Handle>
MMRESULT OpenStream(Direction direction, const ChosenDevice& device, const WAVEFORMATEX& format,
                    DWORD flags, bool callbackValid, DWORD callbackThread,
                    std::shared_ptr<KernelObject> doneEvent, Handle* result,
                    std::shared_ptr<WaveStream>* opened) {
    const MMRESULT check = device.backend->check(direction, format);
    if (check != MMSYSERR_NOERROR || (flags & WAVE_FORMAT_QUERY))
        return check;
    if (!callbackValid)
        return MMSYSERR_INVALFLAG;
    if (!result)
        return MMSYSERR_INVALPARAM;
    std::unique_ptr<Backend> backend;
    const MMRESULT open = device.backend->open(direction, device.name.id, format, &backend);
    if (open != MMSYSERR_NOERROR)
        return open;
    auto& table = [&]() -> StreamTable<Handle>& {
        if constexpr (std::is_same_v<Handle, HWAVEOUT>)
            return OutTable();
        else
            return InTable();
    }();
    *result = table.Add([&](Handle number) {
        *opened = std::make_shared<WaveStream>(direction, std::move(backend), format,
                                               reinterpret_cast<HANDLE>(number), callbackThread,
                                               std::move(doneEvent));
        return *opened;
    });
    return MMSYSERR_NOERROR;
}

template <typename Handle> size_t Count(StreamTable<Handle>& table, size_t (WaveStream::*count)()) {
    size_t total = 0;
    table.ForEach([&](WaveStream& stream) { total += (stream.*count)(); });
    return total;
}

} // namespace

UINT waveOutGetNumDevs() {
    const Operation operation("waveOutGetNumDevs");
    return operation.Failed() ? 0 : static_cast<UINT>(ChosenDevices(Direction::Playback).size());
}

UINT waveInGetNumDevs() {
    const Operation operation("waveInGetNumDevs");
    return operation.Failed() ? 0 : static_cast<UINT>(ChosenDevices(Direction::Capture).size());
}

MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, LPWAVEOUTCAPSA caps, UINT size) {
    const Operation operation("waveOutGetDevCapsA");
    if (operation.Failed())
        return operation.Code();
    ChosenDevice device;
    MMRESULT result = MMSYSERR_NOERROR;
    if (deviceId > WAVE_MAPPER || !FindDevice(Direction::Playback, deviceId, &device, &result))
        return MMSYSERR_BADDEVICEID;
    if (!caps)
        return MMSYSERR_INVALPARAM;
    WAVEOUTCAPSA filled{};
    filled.vDriverVersion = 0x0100;
    std::snprintf(filled.szPname, sizeof filled.szPname, "%s", device.name.display.c_str());
    filled.wChannels = 8;
    std::memcpy(caps, &filled, std::min<size_t>(size, sizeof filled));
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, LPWAVEINCAPSA caps, UINT size) {
    const Operation operation("waveInGetDevCapsA");
    if (operation.Failed())
        return operation.Code();
    if (!caps)
        return MMSYSERR_INVALPARAM;
    ChosenDevice device;
    MMRESULT result = MMSYSERR_NOERROR;
    if (!FindDevice(Direction::Capture, deviceId, &device, &result))
        return result;
    WAVEINCAPSA filled{};
    filled.wMid = kUnmappedId;
    filled.wPid = kUnmappedId;
    filled.vDriverVersion = 0x0100;
    std::snprintf(filled.szPname, sizeof filled.szPname, "%s", device.name.display.c_str());
    filled.dwFormats = kStandardFormats;
    filled.wChannels = 2;
    std::memcpy(caps, &filled, std::min<size_t>(size, sizeof filled));
    return MMSYSERR_NOERROR;
}

// Without a callback the caller looks at the header flags; CALLBACK_EVENT
// names an event that the device signals at the open, whenever a header is
// done and at the close. WAVE_FORMAT_QUERY checks the format against the
// device and opens nothing.
MMRESULT waveOutOpen(LPHWAVEOUT result, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR, DWORD flags) {
    const Operation operation("waveOutOpen");
    if (operation.Failed())
        return operation.Code();
    ChosenDevice device;
    MMRESULT found = MMSYSERR_NOERROR;
    if (!FindDevice(Direction::Playback, deviceId, &device, &found))
        return MMSYSERR_BADDEVICEID;
    if (!format)
        return MMSYSERR_INVALPARAM;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_EVENT)
        return MMSYSERR_INVALFLAG;
    std::shared_ptr<KernelObject> event;
    if (callbackType == CALLBACK_EVENT && !(flags & WAVE_FORMAT_QUERY) &&
        !(event = ShareEvent(reinterpret_cast<HANDLE>(callback))))
        return MMSYSERR_INVALPARAM;
    std::shared_ptr<WaveStream> stream;
    const MMRESULT opened = OpenStream(Direction::Playback, device, *format, flags, true, 0,
                                       std::move(event), result, &stream);
    if (stream)
        stream->NotifyOpen();
    return opened;
}

// Messages go to the thread that `callback` names (CALLBACK_THREAD).
MMRESULT waveInOpen(LPHWAVEIN result, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR, DWORD flags) {
    const Operation operation("waveInOpen");
    if (operation.Failed())
        return operation.Code();
    if (!format)
        return MMSYSERR_INVALPARAM;
    ChosenDevice device;
    MMRESULT found = MMSYSERR_NOERROR;
    if (!FindDevice(Direction::Capture, deviceId, &device, &found))
        return found;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    const bool callbackValid = callbackType == CALLBACK_NULL || callbackType == CALLBACK_THREAD;
    const DWORD thread = callbackType == CALLBACK_THREAD ? static_cast<DWORD>(callback) : 0;
    std::shared_ptr<WaveStream> stream;
    const MMRESULT opened = OpenStream(Direction::Capture, device, *format, flags, callbackValid,
                                       thread, nullptr, result, &stream);
    if (stream)
        stream->NotifyOpen();
    return opened;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveOutPrepareHeader", OutTable(), device, IsValidHeader(header, size),
                        [&](WaveStream& stream) { return stream.Prepare(header); });
}

MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveInPrepareHeader", InTable(), device, IsValidHeader(header, size),
                        [&](WaveStream& stream) { return stream.Prepare(header); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveOutUnprepareHeader", OutTable(), device, IsValidHeader(header, size),
                        [&](WaveStream& stream) { return stream.Unprepare(header); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveInUnprepareHeader", InTable(), device, IsValidHeader(header, size),
                        [&](WaveStream& stream) { return stream.Unprepare(header); });
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return CallOnHandle(
        "waveOutWrite", OutTable(), device, IsValidHeader(header, size),
        [&](WaveStream& stream) { return stream.Queue(header, g_holdHeaders.load()); });
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return CallOnHandle("waveInAddBuffer", InTable(), device, IsValidHeader(header, size),
                        [&](WaveStream& stream) { return stream.Queue(header, false); });
}

MMRESULT waveInStart(HWAVEIN device) {
    return CallOnHandle("waveInStart", InTable(), device, true,
                        [](WaveStream& stream) { return stream.Start(); });
}

MMRESULT waveOutReset(HWAVEOUT device) {
    return CallOnHandle("waveOutReset", OutTable(), device, true,
                        [](WaveStream& stream) { return stream.Reset(); });
}

MMRESULT waveInReset(HWAVEIN device) {
    return CallOnHandle("waveInReset", InTable(), device, true,
                        [](WaveStream& stream) { return stream.Reset(); });
}

MMRESULT waveOutClose(HWAVEOUT device) { return CloseOnHandle("waveOutClose", OutTable(), device); }

MMRESULT waveInClose(HWAVEIN device) { return CloseOnHandle("waveInClose", InTable(), device); }

namespace kxtest {

void HoldWaveOutHeaders() { g_holdHeaders.store(true); }

void ReleaseWaveOutHeaders() {
    g_holdHeaders.store(false);
    OutTable().ForEach([](WaveStream& stream) { stream.ReleaseHeld(); });
}

int OpenWaveOutHandles() { return static_cast<int>(OutTable().Size()); }

int PreparedWaveOutHeaders() {
    return static_cast<int>(Count(OutTable(), &WaveStream::PreparedCount));
}

int KeptWaveOutHeaders() { return static_cast<int>(Count(OutTable(), &WaveStream::KeptCount)); }

unsigned OpenWaveInDevices() { return static_cast<unsigned>(InTable().Size()); }

unsigned PreparedWaveInHeaders() {
    return static_cast<unsigned>(Count(InTable(), &WaveStream::PreparedCount));
}

unsigned KeptWaveInHeaders() {
    return static_cast<unsigned>(Count(InTable(), &WaveStream::KeptCount));
}

} // namespace kxtest
