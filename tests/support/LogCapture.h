// SPDX-License-Identifier: MIT
// The trace log of one test: a private log folder with the marker file in it,
// KALDRIX_LOG_DIR pointing there, and the library's log reopened, so that the
// records can be read back exactly. A library loaded with dlopen while the
// object lives logs into the same file.
#pragma once

#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace kxtest {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The messages of every record written since, in order, without their
    // time stamps (the log flushes each record as it writes it).
    std::vector<std::string> Records() const;
    // Everything logged since the capture began, stamps and all.
    std::string Text() const;
    // How often `message` was logged.
    int Count(const std::string& message) const;

private:
    TempDir m_dir;
    std::unique_ptr<ScopedEnv> m_logDir;
};

} // namespace kxtest
