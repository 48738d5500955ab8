// The hex dump layout, compared as whole strings.
#include "romwright/render.h"
#include "unit_support.h"

namespace {

std::string spaces(size_t n) { return std::string(n, ' '); }

TEST(render_dump, full_lines_from_address_0) {
    std::vector<uint8_t> b(32);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>(0x40 + i);
    EXPECT_EQ(render_dump(b.data(), 0, 32),
              "\n0000:  40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f  @ABCDEFGHIJKLMNO"
              "\n0010:  50 51 52 53 54 55 56 57 58 59 5a 5b 5c 5d 5e 5f  PQRSTUVWXYZ[\\]^_\n");
}

TEST(render_dump, partial_line_keeps_its_columns) {
    const uint8_t b[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    EXPECT_EQ(render_dump(b, 4, 12),
              "\n0000: " + spaces(12) + " 61 62 63 64 65 66 67 68" + spaces(12) + "  " + spaces(4) + "abcdefgh\n");
}

TEST(render_dump, partial_first_and_last_lines_across_a_line_boundary) {
    const uint8_t b[8] = {'0', '1', '2', '3', '4', '5', '6', '7'};
    EXPECT_EQ(render_dump(b, 0x7FC, 0x804),
              "\n07f0: " + spaces(36) + " 30 31 32 33  " + spaces(12) + "0123" +
                  "\n0800:  34 35 36 37" + spaces(36) + "  4567\n");
}

TEST(render_dump, shows_only_0x20_to_0x7f_as_characters) {
    const uint8_t b[6] = {0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF};
    EXPECT_EQ(render_dump(b, 0x10, 0x16),
              "\n0010:  1f 20 7e 7f 80 ff" + spaces(30) + "  . ~\x7f..\n");
}

TEST(render_dump, an_empty_range_is_one_newline) {
    const uint8_t b[1] = {0};
    EXPECT_EQ(render_dump(b, 0, 0), "\n");
}

}  // namespace
