#pragma once

#include "platform/posix/WindowsApi.h"

#include <algorithm>
#include <vector>

// The headers prepared on one open handle. A few at a time: a list that
// keeps its capacity, so that preparing again while streaming allocates
// nothing. Not locked: the handle's lock covers it.
class PreparedHeaders {
public:
    void Insert(WAVEHDR* header) {
        if (std::find(m_headers.begin(), m_headers.end(), header) == m_headers.end())
            m_headers.push_back(header);
    }
    void Erase(WAVEHDR* header) {
        m_headers.erase(std::remove(m_headers.begin(), m_headers.end(), header), m_headers.end());
    }
    void Clear() { m_headers.clear(); }
    size_t Count() const { return m_headers.size(); }

private:
    std::vector<WAVEHDR*> m_headers;
};
