// SPDX-License-Identifier: MIT
#include "support/LogCapture.h"
#include "log/LogFile.h"

#include <dirent.h>
#include <regex>

namespace kxtest {

LogCapture::LogCapture() {
    m_logDir = std::make_unique<ScopedEnv>("KALDRIX_LOG_DIR", m_dir.path());
    WriteFile(m_dir.File("tracelog.is"), {});
    g_Log.Close();
    g_Log.Open();
}

LogCapture::~LogCapture() { g_Log.Close(); }

std::string LogCapture::Text() const {
    // The log flushes each record whole as it writes it, so the files hold
    // every record written so far. The log is not reopened to read them: a
    // record that a library thread writes while it is closed would be lost.
    std::string text;
    if (DIR* dir = opendir(m_dir.path().c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("KALDRIX", 0) == 0) {
                const Bytes bytes = ReadFile(m_dir.File(name));
                text.append(bytes.begin(), bytes.end());
            }
        }
        closedir(dir);
    }
    return text;
}

int LogCapture::Count(const std::string& message) const {
    const std::string text = Text();
    int count = 0;
    for (size_t at = text.find(message); at != std::string::npos;
         at = text.find(message, at + message.size()))
        ++count;
    return count;
}

std::vector<std::string> LogCapture::Records() const {
    std::string text = Text();
    // Each open starts with a separator line; each record with "\n", a time
    // stamp and ":".
    const std::string separator = "\n============================================";
    for (size_t at; (at = text.find(separator)) != std::string::npos;)
        text.erase(at, separator.size());
    static const std::regex stamp("\n\\d{4}-\\d{1,2}-\\d{1,2} \\d{1,2}:\\d{1,2}:\\d{1,2}:");
    std::vector<std::string> records;
    std::sregex_iterator it(text.begin(), text.end(), stamp), end;
    for (; it != end; ++it) {
        const size_t from = static_cast<size_t>(it->position() + it->length());
        auto next = std::next(it);
        const size_t to = next == end ? text.size() : static_cast<size_t>(next->position());
        records.push_back(text.substr(from, to - from));
    }
    return records;
}

} // namespace kxtest
