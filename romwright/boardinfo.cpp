// The board-info file: one identity value per line, checked while the
// command line is walked.
#include <cstdio>
#include <cstring>

#include "common/exit_status.h"
#include "common/file_ptr.h"
#include "eeprom/eeprom.h"
#include "romwright/romwright.h"

const char* g_boardInfoFile = nullptr;

namespace {

bool is_alnum_ascii(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// A value longer than its field would run past it: refused.
bool fits_field(const char* line, size_t length, size_t field) {
    if (length <= field)
        return true;
    std::printf("ERR: Board detail too long (%zu characters, at most %zu):%s\n", length, field, line);
    return false;
}

}  // namespace

int validate_details(char* line) {
    size_t length = std::strlen(line);
    for (size_t i = 0; i < length; ++i) {
        if (line[i] == '\n') {
            line[i] = '\0';
            length = i;
            break;
        }
        if (!is_alnum_ascii(line[i])) {
            std::printf("Please remove any special character,  index=%d, data=%c\n", static_cast<int>(i), line[i]);
            return 0;
        }
    }

    if (starts_with(line, "PT") || starts_with(line, "RE")) {
        if (!fits_field(line, length, sizeof g_serial_num))
            return 0;
        std::memset(g_serial_num, ' ', sizeof g_serial_num);
        std::memcpy(g_serial_num, line, length);
    } else if (starts_with(line, "0C4E29")) {
        if (!fits_field(line, length, sizeof g_mac_address - 1))
            return 0;
        std::memcpy(g_mac_address, line, length + 1);
    } else if (starts_with(line, "110")) {
        if (!fits_field(line, length, sizeof g_part_num))
            return 0;
        std::memset(g_part_num, ' ', sizeof g_part_num);
        std::memcpy(g_part_num, line, length);
    } else {
        std::printf("ERR: Invalid Board details:%s\n", line);
        return 0;
    }
    return 1;
}

void op_read_boardinfo_from_file(const char* filename) {
    const exit_error cannot_read(EXIT_STATUS_USAGE, strprintf("unable to locate boardinfo file:%s\n", filename));
    file_ptr fp(std::fopen(filename, "rb"));
    if (!fp)
        throw cannot_read;
    // A line longer than 511 characters arrives in pieces, each checked as a
    // line of its own.
    char line[512];
    while (std::fgets(line, sizeof line, fp.get())) {
        if (!validate_details(line))
            throw exit_error(EXIT_STATUS_FAILED, "ERR: Error reading board info file\n");
    }
    // A directory opens but does not read; neither may pass for an empty file.
    if (std::ferror(fp.get()))
        throw cannot_read;
}
