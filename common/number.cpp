// Reading numbers as scanf does.
#include "common/number.h"

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

}  // namespace

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

