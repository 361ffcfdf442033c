// SPDX-License-Identifier: MIT
// Reads a WAVE file's data chunk through CWaveForm as the player does (one
// ReadBlock and one NextBuffer per block) and reports the throughput.
//   wave_form_bench make FILE MIB   writes a PCM WAVE file with MIB MiB of data
//   wave_form_bench read FILE       reads it once: "<bytes> <seconds>"
#include "playback/WaveForm.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void PutLe(std::vector<unsigned char>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

int Make(const char* path, uint32_t mebibytes) {
    const uint32_t dataSize = mebibytes << 20;
    std::vector<unsigned char> header;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    PutLe(header, 36 + dataSize, 4);
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLe(header, 16, 4);
    PutLe(header, 1, 2);         // PCM
    PutLe(header, 2, 2);         // stereo
    PutLe(header, 44100, 4);     // samples per second
    PutLe(header, 44100 * 4, 4); // bytes per second
    PutLe(header, 4, 2);         // block alignment
    PutLe(header, 16, 2);        // bits per sample
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    PutLe(header, dataSize, 4);

    FILE* file = std::fopen(path, "wb");
    if (!file || std::fwrite(header.data(), 1, header.size(), file) != header.size())
        return 1;
    std::vector<unsigned char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    for (uint32_t i = 0; i < mebibytes; ++i)
        if (std::fwrite(chunk.data(), 1, chunk.size(), file) != chunk.size())
            return 1;
    return std::fclose(file) == 0 ? 0 : 1;
}

int Read(const char* path) {
    const auto start = std::chrono::steady_clock::now();
    auto* wave = new CWaveForm(path);
    WAVEFORMATEX format;
    if (wave->OpenWaveForm(format) != 0) {
        std::fprintf(stderr, "cannot open %s\n", path);
        return 1;
    }
    unsigned long long bytes = 0;
    unsigned checksum = 0; // keeps the copies observable
    int count;
    while ((count = wave->ReadBlock()) > 0) {
        const char* block = wave->NextBuffer();
        checksum += static_cast<unsigned char>(block[count - 1]);
        bytes += static_cast<unsigned>(count);
    }
    if (count < 0 || wave->CloseWaveForm() != MMSYSERR_NOERROR) {
        std::fprintf(stderr, "read failed\n");
        return 1;
    }
    delete wave;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%llu %.6f %u\n", bytes, elapsed.count(), checksum);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "make") == 0)
        return Make(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    if (argc == 3 && std::strcmp(argv[1], "read") == 0)
        return Read(argv[2]);
    std::fprintf(stderr, "usage: %s make FILE MIB | read FILE\n", argv[0]);
    return 2;
}
