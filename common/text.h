// Text helpers: printf-style formatting and line ends taken off.
#pragma once

#include <string>

// printf-style formatting into a std::string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// text without the newlines it ends with: a message as one JSON string.
inline std::string without_trailing_newlines(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}
