// SPDX-License-Identifier: MIT
// Drives the reader as the player does: open, the virtual device opened, as
// a start opens it, for the format record the player builds (the record and
// the cbSize extra bytes behind it), every block into the two alternating
// buffers until 0 or -1, close, delete. Traps when a block breaks what the
// device relies on: a format it takes gets whole frames in all, the buffers
// alternate, and nothing beyond the file's bytes is delivered. The run's
// memory and time limits (run.sh) catch a format that sizes the device's
// buffers.
#include "FuzzInput.h"
#include "playback/WaveForm.h"
#include "wave/PlausibleFormat.h"

#include <algorithm>
#include <vector>

using fuzz::Require;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KALDRIX_AUDIO", "virtual", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* wave = new CWaveForm(fuzz::WriteInput(data, size));
    WAVEFORMATEX format;
    if (wave->OpenWaveForm(format) == 0) {
        const std::vector<BYTE>& extra = wave->ExtraFormatBytes();
        WAVEFORMATEX head = format;
        head.cbSize = static_cast<WORD>(std::min<size_t>(format.cbSize, extra.size()));
        std::vector<BYTE> record(reinterpret_cast<const BYTE*>(&head),
                                 reinterpret_cast<const BYTE*>(&head) + sizeof head);
        record.insert(record.end(), extra.begin(), extra.begin() + head.cbSize);
        HWAVEOUT device = nullptr;
        const bool playable =
            IsPlausibleFormat(head) &&
            waveOutOpen(&device, WAVE_MAPPER, reinterpret_cast<const WAVEFORMATEX*>(record.data()),
                        0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR;
        if (playable)
            Require(waveOutClose(device) == MMSYSERR_NOERROR);
        size_t delivered = 0;
        const char* previous = nullptr;
        for (;;) {
            const int count = wave->ReadBlock();
            Require(count >= -1 && count <= CWaveForm::kBlockSize);
            if (count <= 0)
                break;
            const char* block = wave->NextBuffer();
            Require(block != previous);
            previous = block;
            delivered += size_t(count);
            Require(delivered <= size);
        }
        Require(!playable || delivered % format.nBlockAlign == 0);
        Require(wave->CloseWaveForm() == MMSYSERR_NOERROR);
    }
    delete wave;
    return 0;
}
