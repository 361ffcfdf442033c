// SPDX-License-Identifier: MIT
// Drives CWaveForm over arbitrary file bytes as the player does: open, every
// block, close. Besides the sanitizers' checks it traps when a result breaks
// what the player relies on.
#include "playback/WaveForm.h"

#include "FuzzInput.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* wave = new CWaveForm(fuzz::WriteInput(data, size));
    WAVEFORMATEX format;
    if (wave->OpenWaveForm(format) == 0) {
        // The extra bytes are exactly the ones cbSize announces; PCM has none.
        Require(format.cbSize == wave->ExtraFormatBytes().size());
        Require(format.wFormatTag != WAVE_FORMAT_PCM || format.cbSize == 0);
        size_t delivered = 0;
        for (;;) {
            const int count = wave->ReadBlock();
            Require(count >= -1 && count <= CWaveForm::kBlockSize);
            if (count <= 0)
                break;
            wave->NextBuffer();
            delivered += size_t(count);
            Require(delivered <= size); // never more than the file holds
        }
        Require(wave->CloseWaveForm() == MMSYSERR_NOERROR);
    }
    delete wave;
    return 0;
}
