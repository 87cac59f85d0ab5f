// Text from a file or the command line, made fit to be echoed in an error
// message: a binary file given by mistake must not write control sequences
// to the operator's terminal, nor a megabyte-long line to the log.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kova_tools {

// Printable ASCII as it is, every other byte as \xNN. Whole: for a path,
// which the operator must be able to find again.
inline std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

// 'text', escaped, for a value or a token; at most `max` bytes of it, with
// "..." after the quote when it was cut.
inline std::string quoted(std::string_view text, size_t max = 64) {
    return "'" + escaped(text.substr(0, max)) + "'" + (text.size() > max ? "..." : "");
}

} // namespace kova_tools
