// The board-info file: one identity value per line, checked once the
// command line has been walked.
#include <algorithm>
#include <cstring>

#include "common/error.h"
#include "common/input_file.h"
#include "romwright/front_end.h"
#include "romwright/messages.h"

namespace {

bool is_alnum_ascii(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// A value longer than its field (the field's size as the file format has
// always counted it) would run past it: refused.
void check_fits(const std::string& line, size_t field) {
    if (line.size() > field)
        throw failure(error_kind::refused, strprintf("ERR: Board detail too long (%zu characters, at most %zu):%s\n",
                                                     line.size(), field, line.c_str()));
}

}  // namespace

void store_board_detail(const char* text, board_identity& id) {
    std::string line;
    for (const char* p = text; *p && *p != '\n'; ++p) {
        if (!is_alnum_ascii(*p))
            throw failure(error_kind::refused, strprintf("Please remove any special character,  index=%d, data=%c\n",
                                                         static_cast<int>(p - text), *p));
        line += *p;
    }
    if (starts_with(line, "PT") || starts_with(line, "RE")) {
        check_fits(line, SERIAL_NUM_LEN + 1);
        id.serial_number = (line + std::string(SERIAL_NUM_LEN, ' ')).substr(0, SERIAL_NUM_LEN);
    } else if (starts_with(line, "0C4E29")) {
        check_fits(line, MAC_ADDRESS_LEN);
        id.mac_address = line;
    } else if (starts_with(line, "110")) {
        check_fits(line, PART_NUM_LEN + 1);
        id.part_number = (line + std::string(PART_NUM_LEN, ' ')).substr(0, PART_NUM_LEN);
    } else {
        throw failure(error_kind::refused, "ERR: Invalid Board details:" + line + "\n");
    }
}

board_identity read_board_info(const char* filename) {
    const failure cannot_read(error_kind::file, strprintf("unable to locate boardinfo file:%s\n", filename));
    // A board-info file is a few lines; a FIFO, a device or a folder in its
    // place cannot pass for one, nor hold the run.
    constexpr size_t k_largest = 64 * 1024;
    const input_file in = read_input_file(filename, {k_largest});
    if (!in.ok() || in.bytes.size() > k_largest)
        throw cannot_read;
    board_identity id;
    // A line longer than 511 characters arrives in pieces, each checked as a
    // line of its own.
    const std::string text(in.bytes.begin(), in.bytes.end());
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        end = std::min(end, at + 511);
        const std::string line = text.substr(at, end - at);
        at = end;
        try {
            store_board_detail(line.c_str(), id);
        } catch (const failure& e) {
            throw failure(e.kind(), message_of(e) + "ERR: Error reading board info file\n");
        }
    }
    return id;
}
