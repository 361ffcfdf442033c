// SPDX-License-Identifier: MIT
#include "support/Leftovers.h"
#include "winapi/testing/TestInterface.h"
#include "winapi/testing/WaveInTestInterface.h"
#include "winapi/testing/WaveOutTestInterface.h"

#include <algorithm>
#include <dirent.h>
#include <sstream>
#include <fstream>
#include <thread>

namespace kxtest {

namespace {

// The process's threads but the log's echo thread, which lives as long as
// the library; not counted under the thread sanitizer, which starts a thread
// of its own when it likes.
int RunningThreads() {
    int count = 0;
#if !defined(__SANITIZE_THREAD__)
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            count += name != "kx-echo";
        }
        closedir(dir);
    }
#endif
    return count;
}

std::string Describe(const Holdings& h) {
    std::ostringstream out;
    out << "handles " << h.handles << ", wave-in devices " << h.waveInDevices << " headers "
        << h.waveInHeaders << " (kept " << h.keptWaveInHeaders << "), wave-out handles "
        << h.waveOutHandles << " headers " << h.waveOutHeaders << " (kept " << h.keptWaveOutHeaders
        << "), files " << h.files << ", threads " << h.threads;
    return out.str();
}

std::string Excess(const Holdings& before, const Allowance& allowed, const Holdings& now) {
    const unsigned keptHeaders = now.keptWaveInHeaders;
    const int devices =
        int(allowed.devices) + (keptHeaders > 0 ? 1 : 0) + (now.keptWaveOutHeaders > 0 ? 1 : 0);
    const bool ok = now.handles <= before.handles &&
                    now.waveInDevices <= before.waveInDevices + unsigned(devices) &&
                    now.waveInHeaders <= before.waveInHeaders + keptHeaders &&
                    now.waveOutHandles <= before.waveOutHandles + devices &&
                    now.waveOutHeaders <= before.waveOutHeaders + 2 * devices &&
                    now.files <= before.files + 2 * devices + int(allowed.files) &&
                    now.threads <= before.threads + devices + int(allowed.threads);
    return ok ? "" : "left behind: " + Describe(now) + "; before: " + Describe(before);
}

} // namespace

Holdings CurrentHoldings() {
    Holdings h;
    h.handles = OpenHandleCount();
    h.waveInDevices = OpenWaveInDevices();
    h.waveInHeaders = PreparedWaveInHeaders();
    h.keptWaveInHeaders = KeptWaveInHeaders();
    h.keptWaveOutHeaders = KeptWaveOutHeaders();
    h.waveOutHandles = OpenWaveOutHandles();
    h.waveOutHeaders = PreparedWaveOutHeaders();
    h.files = OpenFileCount();
    h.threads = RunningThreads();
    return h;
}

std::string Leftovers(const Holdings& before, const Allowance& allowed, unsigned limitMs) {
    std::string excess;
    for (unsigned waited = 0;; waited += 50) {
        excess = Excess(before, allowed, CurrentHoldings());
        if (excess.empty() || waited >= limitMs)
            return excess;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string RecordingFault(const std::string& path, const Bytes& input) {
    if (!FileExists(path))
        return path + " is missing";
    const Bytes file = ReadFile(path);
    std::ostringstream fault;
    if (file.size() < 44) {
        fault << path << " holds " << file.size() << " bytes";
        return fault.str();
    }
    const auto data = static_cast<uint32_t>(file.size() - 44);
    const Bytes format = {16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0};
    if (std::string(file.begin(), file.begin() + 4) != "RIFF" ||
        std::string(file.begin() + 8, file.begin() + 16) != "WAVEfmt " ||
        Bytes(file.begin() + 16, file.begin() + 36) != format ||
        std::string(file.begin() + 36, file.begin() + 40) != "data")
        fault << path << ": header is not the recorder's; ";
    if (ReadLe32(file, 4) != 36 + data || ReadLe32(file, 40) != data)
        fault << path << ": " << file.size() << " bytes but RIFF size " << ReadLe32(file, 4)
              << " and data size " << ReadLe32(file, 40) << "; ";
    if (data % 960 != 0)
        fault << path << ": data size " << data << " is not whole buffers; ";
    for (size_t i = 0; i < data; ++i) {
        if (file[44 + i] != (i < input.size() ? input[i] : 0)) {
            fault << path << ": data differs from the input at byte " << i << " of " << data;
            break;
        }
    }
    return fault.str();
}

std::string PlayedFault(const Bytes& played, const std::vector<Bytes>& datas) {
    size_t at = 0;   // in `played`
    size_t file = 0; // which of `datas`
    size_t from = 0; // in that file
    while (at < played.size() && file < datas.size()) {
        const Bytes& data = datas[file];
        if (from < data.size() && played[at] == data[from]) {
            ++at;
            ++from;
            continue;
        }
        // A block may be missing: what follows must come later in this file,
        // or in a later one.
        const auto needle = played.begin() + static_cast<long>(at);
        const auto found =
            std::search(data.begin() + static_cast<long>(from), data.end(), needle,
                        needle + static_cast<long>(std::min<size_t>(32, played.size() - at)));
        if (found != data.end()) {
            from = static_cast<size_t>(found - data.begin());
        } else {
            ++file;
            from = 0;
        }
    }
    if (at == played.size())
        return "";
    std::ostringstream fault;
    fault << "played " << played.size() << " bytes; from byte " << at
          << " on they are not the files' data in order";
    return fault.str();
}

} // namespace kxtest
