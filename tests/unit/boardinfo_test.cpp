// The board-info file: line checks, classification, the identity it
// holds, and the file reader's statuses.
#include <cstring>

#include "eeprom/eeprom.h"
#include "romwright/front_end.h"
#include "unit_support.h"

namespace {

outcome read_board_file(const std::string& text, board_identity* id = nullptr) {
    temp_dir dir;
    const std::string path = dir.file("board.txt");
    write_text(path, text);
    return run_catching([&] {
        board_identity got = read_board_info(path.c_str());
        if (id)
            *id = got;
    });
}

TEST(read_board_info, stores_each_line_in_its_field) {
    board_identity id;
    outcome o = read_board_file("PT1\n0C4E29ABCDEF\nRE2\n110XYZ", &id);  // last line unterminated
    EXPECT_EQ(o.status, RETURNED);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(id.serial_number, "RE2" + std::string(21, ' '));  // blank padded
    EXPECT_EQ(id.mac_address, "0C4E29ABCDEF");
    EXPECT_EQ(id.part_number, "110XYZ" + std::string(10, ' '));
    EXPECT_EQ(read_board_file("").status, RETURNED);  // empty: valid
}

TEST(store_board_detail, fields_take_exactly_their_width) {
    const std::pair<std::string, bool> cases[] = {
        {"PT" + std::string(23, '9'), true},     {"PT" + std::string(24, '9'), false},
        {"110" + std::string(14, '7'), true},    {"110" + std::string(15, '7'), false},
        {"0C4E29" + std::string(6, 'A'), true},  {"0C4E29" + std::string(7, 'A'), false},
    };
    for (const auto& [text, valid] : cases) {
        board_identity id;
        const char* line = text.c_str();
        const outcome o = run_catching([&] { store_board_detail(line, id); });
        EXPECT_EQ(o.status, valid ? RETURNED : 1) << text;
        EXPECT_EQ(o.out.empty(), valid) << text;
        const std::string stored = id.serial_number + id.part_number + id.mac_address;
        if (valid)
            EXPECT_NE(stored.find(text.substr(0, 16)), std::string::npos) << text;
        else  // nothing stored
            EXPECT_EQ(stored, "") << text;
    }
}

TEST(store_board_detail, explains_invalid_lines) {
    const std::pair<const char*, const char*> cases[] = {
        {"PT123\r\n", "Please remove any special character,  index=5, data=\r\n"},
        {"PT 12345\n", "Please remove any special character,  index=2, data= \n"},
        {"0C:4E:29:00:00:01\n", "Please remove any special character,  index=2, data=:\n"},
        {"pt12345\n", "ERR: Invalid Board details:pt12345\n"},
        {"\n", "ERR: Invalid Board details:\n"},
    };
    for (const auto& [text, message] : cases) {
        board_identity id;
        const char* line = text;
        const outcome o = run_catching([&] { store_board_detail(line, id); });
        EXPECT_EQ(o.status, 1) << text;
        EXPECT_EQ(o.out, message);
    }
}

TEST(read_board_info, an_invalid_line_ends_with_status_1) {
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

TEST(read_board_info, a_file_that_cannot_be_opened_or_read_is_a_usage_error) {
    // A directory and /proc/self/mem open, but their first read fails (EISDIR,
    // EIO): neither is an empty, valid file.
    for (const char* path : {"/nonexistent/board.txt", "/tmp", "/proc/self/mem"}) {
        outcome o = run_catching([&] { read_board_info(path); });
        EXPECT_EQ(o.status, 255) << path;
        EXPECT_EQ(o.out, std::string("unable to locate boardinfo file:") + path + "\n");
    }
}

}  // namespace
