// Argument helpers: numbers and image arguments.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/error.h"
#include "romwright/romwright.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a number the way scanf's %x or %d does (leading blanks, an optional
// sign, for hexadecimal an optional 0x prefix), stopping at the first
// character that does not belong to it.  A negative value yields its 32-bit
// two's complement.  Returns false when no digit is there; *fits is false
// when the value needs more than 32 bits.
bool scan_number(const char*& p, unsigned base, uint32_t* value, bool* fits) {
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0)
        p += 2;
    uint64_t v = 0;
    bool big = false;
    const char* digits = p;
    for (int d; (d = hex_digit(*p)) >= 0 && static_cast<unsigned>(d) < base; ++p) {
        v = v * base + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFu) {
            big = true;
            v = 0xFFFFFFFFu;
        }
    }
    if (p == digits)
        return false;
    // Decimal keeps to what a 32-bit integer holds: -2^31 .. 2^32-1.
    if (negative && base == 10 && v > 0x80000000u)
        big = true;
    *fits = !big;
    *value = big ? 0xFFFFFFFFu : negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(v)) : static_cast<uint32_t>(v);
    return true;
}

}  // namespace

uint32_t prs_num(const char* word, const char* text, uint32_t min, uint32_t max, std::string* warning) {
    uint32_t value = 0;
    bool fits = true;
    const char* p = text + 2;
    bool read = (std::strncmp(text, "0x", 2) == 0 && scan_number(p, 16, &value, &fits)) ||
                (p = text + 2, std::strncmp(text, "0X", 2) == 0 && scan_number(p, 16, &value, &fits)) ||
                (p = text, scan_number(p, 10, &value, &fits));
    if (!read)
        throw failure(error_kind::usage,
                         strprintf("Argument to %s must be a hex or decimal number.  %s not allowed\n", word, text));
    warning->clear();
    if (value < min)
        *warning = strprintf("You entered  %s %s. Value must be greater than %u (0x%x)\n", word, text, min, min);
    else if (value > max)
        *warning = strprintf("You entered  %s %s. Value must be less than %u (0x%x)\n", word, text, max, max);
    return value;
}

bool get_binfile_type_and_name(const char* arg, image_type* type, std::string* name) {
    auto is_separator = [](char c) { return c == '-' || c == ':' || c == ' '; };
    // The type word: from after the leading '-' up to the first separator.
    const char* word = *arg == '-' ? arg + 1 : arg;
    size_t length = 0;
    while (word[length] && !is_separator(word[length]))
        ++length;
    const std::string type_word(word, length);
    if (type_word == "fvpd")
        *type = image_type::vpd;
    else if (type_word == "finit")
        *type = image_type::init;
    else if (type_word == "f")
        *type = image_type::full;
    else
        usage_error("ERROR: Unknown binary file type\n");
    // The file name: everything behind the run of separators, verbatim.
    const char* p = word + length;
    while (*p && is_separator(*p))
        ++p;
    if (!*p)
        return false;
    *name = p;
    return true;
}
