// SPDX-License-Identifier: MIT
#include "support/ThreadProbe.h"

#include <dirent.h>
#include <fstream>
#include <sstream>

namespace kxtest {

std::vector<std::string> ThreadIds(const std::string& name) {
    std::vector<std::string> ids;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return ids;
    while (const dirent* entry = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string found;
        if (entry->d_name[0] != '.' && std::getline(comm, found) && found == name)
            ids.push_back(entry->d_name);
    }
    closedir(tasks);
    return ids;
}

bool HasThread(const std::string& name) { return !ThreadIds(name).empty(); }

long ContextSwitches(const std::string& id) {
    std::ifstream status("/proc/self/task/" + id + "/status");
    if (!status)
        return -1;
    long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.find("ctxt_switches:") == std::string::npos)
            continue;
        std::istringstream fields(line.substr(line.find(':') + 1));
        long count = 0;
        fields >> count;
        total += count;
    }
    return total;
}

} // namespace kxtest
