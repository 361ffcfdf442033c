// SPDX-License-Identifier: MIT
#include "Json.h"

#include <cstdio>

namespace cli {

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0.
size_t Utf8Length(const std::string& bytes, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned lead = byte(at);
    size_t length;
    unsigned minimum;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, minimum = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, minimum = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, minimum = 0x10000;
    else
        return 0;
    if (at + length > bytes.size())
        return 0;
    unsigned code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < minimum || code > 0x10FFFF || surrogate ? 0 : length;
}

} // namespace

std::string JsonString(const std::string& bytes) {
    std::string json = "\"";
    for (size_t at = 0; at < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[at]);
        const size_t length = Utf8Length(bytes, at);
        if (length == 0) {
            json += "\\ufffd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json.append(bytes, at, length);
        }
        at += length;
    }
    return json + "\"";
}

std::string JsonArray(const std::vector<std::string>& values) {
    std::string json = "[";
    for (size_t i = 0; i < values.size(); ++i)
        json += (i ? ", " : "") + values[i];
    return json + "]";
}

} // namespace cli
