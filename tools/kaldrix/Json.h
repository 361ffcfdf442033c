// SPDX-License-Identifier: MIT
// The little JSON that info --json and devices --json write.
#pragma once

#include <string>
#include <vector>

namespace cli {

// `bytes` as a JSON string: quotes, backslashes and control characters
// escaped; a byte that is not part of valid UTF-8 (a file name is only bytes)
// becomes U+FFFD.
std::string JsonString(const std::string& bytes);

// "[a, b]" of values already written as JSON.
std::string JsonArray(const std::vector<std::string>& values);

} // namespace cli
