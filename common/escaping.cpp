#include "common/escaping.h"

#include <cstdint>

#include "common/text.h"

namespace {

// The length of the valid UTF-8 sequence at s[i] that is no control
// character (C1 included), or 0.
size_t utf8_printable(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return k < s.size() ? static_cast<uint8_t>(s[k]) : 0u; };
    const uint8_t c = byte(i);
    size_t n;
    uint8_t lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        if (c == 0xC2)
            lo = 0xA0;  // U+0080..U+009F are the C1 controls
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(i + 1) < lo || byte(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return n;
}

// s with every byte that could act on a terminal as \xNN; printable ASCII
// and whole printable UTF-8 characters as they are.
std::string escaped(const std::string& s, bool escape_backslash) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = static_cast<uint8_t>(s[i]);
        if (c == '\\' && escape_backslash) {
            out += "\\\\";
            ++i;
        } else if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = utf8_printable(s, i)) {
            out += s.substr(i, n);
            i += n;
        } else {
            out += strprintf("\\x%02X", c);
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string terminal_text(const std::string& s) { return escaped(s, true); }

std::string shell_quoted(const std::string& path) {
    std::string out = "'";
    for (char c : escaped(path, false))
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
