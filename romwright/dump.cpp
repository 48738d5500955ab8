// The hex dump of an EEPROM range.
#include <cstring>
#include <string>

#include "romwright/render.h"

namespace {

const char k_hex[] = "0123456789abcdef";

void append_line_head(std::string& out, uint32_t address) {
    char head[8] = {'\n', k_hex[(address >> 12) & 15], k_hex[(address >> 8) & 15], k_hex[(address >> 4) & 15],
                    k_hex[address & 15], ':', ' '};
    out.append(head, 7);
}

}  // namespace

// The whole dump is built in memory and written at once.
std::string render_dump(const uint8_t* buf, uint32_t start, uint32_t end) {
    std::string out;
    out.reserve((end > start ? (end - start) / 16 + 2 : 1) * 80);
    char line[16];
    uint32_t n = 0;
    const uint32_t s = start & 15;
    if (s != 0) {
        append_line_head(out, start & ~15u);
        out.append(3 * s, ' ');
        std::memset(line, ' ', s);
        n = s;
    }
    for (uint32_t a = start; a < end; ++a) {
        const uint8_t b = buf[a - start];
        if ((a & 15) == 0)
            append_line_head(out, a);
        const char group[3] = {' ', k_hex[b >> 4], k_hex[b & 15]};
        out.append(group, 3);
        line[n++] = (b >= 0x20 && b <= 0x7F) ? static_cast<char>(b) : '.';
        if (n == 16 || (a & 15) == 15 || a + 1 == end) {
            out.append(3 * (15 - (a & 15)), ' ');
            out.append("  ", 2);
            out.append(line, n);
            n = 0;
        }
    }
    out.push_back('\n');
    return out;
}

