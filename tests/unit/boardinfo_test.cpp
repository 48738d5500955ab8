// The board-info file: line checks, classification, storage in the
// identity fields, and the file reader's statuses.
#include <cstring>

#include "eeprom/eeprom.h"
#include "romwright/romwright.h"
#include "unit_support.h"

namespace {

void clear_identity() {
    std::memset(g_part_num, 0, sizeof g_part_num);
    std::memset(g_serial_num, 0, sizeof g_serial_num);
    std::memset(g_mac_address, 0, sizeof g_mac_address);
}

std::string field(const char* f, size_t n) { return std::string(f, n); }

outcome read_board_file(const std::string& text) {
    temp_dir dir;
    const std::string path = dir.file("board.txt");
    write_text(path, text);
    return run_catching([&] { op_read_boardinfo_from_file(path.c_str()); });
}

TEST(op_read_boardinfo_from_file, stores_each_line_in_its_field) {
    clear_identity();
    outcome o = read_board_file("PT1\n0C4E29ABCDEF\nRE2\n110XYZ");  // last line unterminated
    EXPECT_EQ(o.status, RETURNED);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(field(g_serial_num, 25), "RE2" + std::string(22, ' '));  // blank padded, no zero byte
    EXPECT_EQ(field(g_mac_address, 13), std::string("0C4E29ABCDEF") + '\0');
    EXPECT_EQ(field(g_part_num, 17), "110XYZ" + std::string(11, ' '));
    EXPECT_EQ(read_board_file("").status, RETURNED);  // empty: valid
}

TEST(validate_details, fields_take_exactly_their_width) {
    const std::pair<std::string, int> cases[] = {
        {"PT" + std::string(23, '9'), 1},     {"PT" + std::string(24, '9'), 0},
        {"110" + std::string(14, '7'), 1},    {"110" + std::string(15, '7'), 0},
        {"0C4E29" + std::string(6, 'A'), 1},  {"0C4E29" + std::string(7, 'A'), 0},
    };
    for (const auto& [text, valid] : cases) {
        clear_identity();
        std::vector<char> line(text.begin(), text.end());
        line.push_back('\0');
        int r = -1;
        std::string out = capture_stdout([&] { r = validate_details(line.data()); });
        EXPECT_EQ(r, valid) << text;
        EXPECT_EQ(out.empty(), valid == 1) << text;
        const std::string stored = field(g_serial_num, 25) + field(g_part_num, 17) + field(g_mac_address, 13);
        if (valid)
            EXPECT_NE(stored.find(text), std::string::npos) << text;
        else  // nothing stored, nothing overrun
            EXPECT_EQ(stored, std::string(55, '\0')) << text;
    }
}

TEST(validate_details, explains_invalid_lines) {
    const std::pair<const char*, const char*> cases[] = {
        {"PT123\r\n", "Please remove any special character,  index=5, data=\r\n"},
        {"PT 12345\n", "Please remove any special character,  index=2, data= \n"},
        {"0C:4E:29:00:00:01\n", "Please remove any special character,  index=2, data=:\n"},
        {"pt12345\n", "ERR: Invalid Board details:pt12345\n"},
        {"\n", "ERR: Invalid Board details:\n"},
    };
    for (const auto& [text, message] : cases) {
        std::vector<char> line(text, text + std::strlen(text) + 1);
        int r = -1;
        EXPECT_EQ(capture_stdout([&] { r = validate_details(line.data()); }), message);
        EXPECT_EQ(r, 0) << text;
    }
}

TEST(op_read_boardinfo_from_file, an_invalid_line_ends_with_status_1) {
    const std::string tail = "ERR: Error reading board info file\n";
    const std::pair<std::string, std::string> cases[] = {
        {"PT1\nxyz", "ERR: Invalid Board details:xyz\n"},  // unterminated last line checked
        {"PT1\n\n", "ERR: Invalid Board details:\n"},
        {"PT1\r\n", "Please remove any special character,  index=3, data=\r\n"},
    };
    for (const auto& [text, message] : cases) {
        outcome o = read_board_file(text);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, message + tail);
    }
    // Too long for its field: refused with a message, then the same line.
    outcome o = read_board_file("110" + std::string(20, '1') + "\n");
    EXPECT_EQ(o.status, 1);
    ASSERT_GT(o.out.size(), tail.size());
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    // A long line comes in pieces of 511: the first piece is refused for its
    // length; the bad character at index 511 is in the next piece, never seen.
    o = read_board_file("PT" + std::string(509, 'A') + "!\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out.find("special character"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("511"), std::string::npos) << o.out;
}

TEST(op_read_boardinfo_from_file, a_file_that_cannot_be_opened_or_read_is_a_usage_error) {
    // A directory and /proc/self/mem open, but their first read fails (EISDIR,
    // EIO): neither is an empty, valid file.
    for (const char* path : {"/nonexistent/board.txt", "/tmp", "/proc/self/mem"}) {
        outcome o = run_catching([&] { op_read_boardinfo_from_file(path); });
        EXPECT_EQ(o.status, 255) << path;
        EXPECT_EQ(o.out, std::string("unable to locate boardinfo file:") + path + "\n");
    }
}

}  // namespace
