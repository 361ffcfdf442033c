// Drives CWaveForm over arbitrary file bytes as the player does: open, every
// block, close. Besides the sanitizers' checks it traps when a result breaks
// what the player relies on.
#include "playback/WaveForm.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

char g_path[4096];

void RemoveInputFile() {
    ::unlink(g_path);
}

// One file per process, rewritten for every input.
const char* InputPath() {
    if (!g_path[0]) {
        const char* base = std::getenv("TMPDIR");
        std::snprintf(g_path, sizeof g_path, "%s/kaldrix-fuzz-XXXXXX",
                      base && *base ? base : "/tmp");
        const int fd = ::mkstemp(g_path);
        if (fd < 0)
            std::abort();
        ::close(fd);
        std::atexit(RemoveInputFile);
    }
    return g_path;
}

void WriteInput(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(InputPath(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();
}

void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteInput(data, size);
    auto* wave = new CWaveForm(InputPath());
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
