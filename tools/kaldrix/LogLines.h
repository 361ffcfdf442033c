// SPDX-License-Identifier: MIT
// Cuts the library's output, as a pipe hands it over in pieces, into whole
// lines. GBK has no '\n' inside a character, so lines split safely.
#pragma once

#include <cstddef>
#include <string>

namespace cli {

class LogLines {
public:
    // Adds `count` bytes and shows each line they complete.
    template <typename Show> void Add(const char* bytes, size_t count, Show show) {
        m_pending.append(bytes, count);
        for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            show(m_pending.substr(0, end + 1));
            m_pending.erase(0, end + 1);
        }
    }
    // Shows what is left of a last line without its end.
    template <typename Show> void Finish(Show show) {
        if (!m_pending.empty())
            show(m_pending);
        m_pending.clear();
    }

private:
    std::string m_pending;
};

} // namespace cli
