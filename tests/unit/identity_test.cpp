// VPD identity transfer: checksum, the RV field, the identity written into
// every VPD copy of an image file, and the identity read from the board.
#include <cstring>

#include "eeprom/eeprom.h"
#include "unit_support.h"

namespace {

const char PART[] = "110TESTPART00042";
const char SERIAL[] = "PTTESTSERIAL000000000042";
const char MAC[] = "0C4E29ABCDEF";

uint8_t sum_bytes(const std::vector<uint8_t>& b, size_t from, size_t n) {
    uint8_t s = 0;
    for (size_t i = from; i < from + n; ++i)
        s = static_cast<uint8_t>(s + b[i]);
    return s;
}

TEST(get_checksum, makes_the_bytes_sum_to_zero) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    const std::vector<uint8_t> ones(256, 0x01);
    EXPECT_EQ(get_checksum(abc, 0), 0);
    EXPECT_EQ(get_checksum(abc, 3), 0xDA);
    EXPECT_EQ(get_checksum(ones.data(), 256), 0);
    EXPECT_EQ(get_checksum(ones.data(), 255), 0x01);
}

std::vector<uint8_t> sample_copy() {
    std::vector<uint8_t> b = sample_board();
    return std::vector<uint8_t>(b.begin() + 0x400, b.begin() + 0x800);
}

TEST(find_rv_field, walks_the_vpd_structure) {
    std::vector<uint8_t> copy = sample_copy();
    EXPECT_EQ(find_rv_field(copy.data(), 1024), 102);
    std::memcpy(&copy[25], "RV", 2);  // inside the part number: not a keyword
    std::memcpy(&copy[70], "RV", 2);  // inside the serial number
    EXPECT_EQ(find_rv_field(copy.data(), 1024), 102);
    std::memcpy(&copy[102], "XX", 2);
    EXPECT_EQ(find_rv_field(copy.data(), 1024), -1);
}

TEST(find_rv_field, never_looks_past_the_copy) {
    // Each copy sits in a 2048-byte buffer whose byte 1024 would complete an
    // "RV" field at 1022 if the walk ran past the copy.
    std::vector<uint8_t> chain = sample_copy();  // VPD-R too long, keywords up to 1022
    chain[20] = chain[21] = 0xFF;
    const std::pair<size_t, uint8_t> fields[] = {{22, 255}, {280, 255}, {538, 255}, {796, 223}};
    for (const auto& [k, length] : fields) {
        std::memcpy(&chain[k], "AA", 2);
        chain[k + 2] = length;
    }
    std::memcpy(&chain[1022], "RV", 2);
    std::vector<uint8_t> id_too_long = sample_copy();
    id_too_long[1] = id_too_long[2] = 0xFF;
    std::vector<uint8_t> item_at_end = sample_copy();  // VPD-R header at 1022
    item_at_end[1] = 0xFB;
    item_at_end[2] = 0x03;
    item_at_end[1022] = 0x90;
    for (std::vector<uint8_t> b : {chain, id_too_long, item_at_end}) {
        b.resize(2048, 0);
        b[1024] = 1;
        EXPECT_EQ(find_rv_field(b.data(), 1024), -1);
    }
}

// A full image built from the sample board, written to a file, given the
// test identity; returns the result and what was printed.
struct inserted {
    int result;
    std::string out;
    std::vector<uint8_t> before, after;
};
inserted insert_into(std::vector<uint8_t> image, int32_t first_copy = 1024) {
    temp_dir dir;
    const std::string path = dir.file("image.bin");
    write_file(path, image);
    inserted r{0, "", image, {}};
    r.out = capture_stdout([&] { r.result = insert_chip_details(path.c_str(), 14, first_copy, PART, SERIAL, MAC); });
    r.after = read_file(path);
    return r;
}

TEST(insert_chip_details, gives_every_copy_the_identity_and_a_checksum) {
    std::vector<uint8_t> image = sample_board();
    const size_t no_na = 1024 + 3 * 1024;  // the fourth copy has no NA keyword
    std::memcpy(&image[no_na + 87], "XX", 2);
    inserted r = insert_into(image);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.after.size(), image.size());
    std::vector<uint8_t> expected = image;
    for (size_t p = 1024; p < 15360; p += 1024) {
        SCOPED_TRACE(p);
        std::memcpy(&expected[p + 25], PART, 16);
        std::memcpy(&expected[p + 63], SERIAL, 24);
        if (p != no_na)
            std::memcpy(&expected[p + 90], MAC, 12);
        expected[p + 105] = r.after[p + 105];  // the checksum byte, checked by its sum
        EXPECT_EQ(sum_bytes(r.after, p, 106), 0);
    }
    EXPECT_EQ(r.after, expected);  // init region and bytes from 15360 untouched too
}

TEST(insert_chip_details, stops_at_a_copy_with_a_bad_tag) {
    for (std::pair<uint8_t, uint8_t> tag : {std::make_pair<uint8_t, uint8_t>(0x00, 0x10), {0x10, 0x82}}) {
        std::vector<uint8_t> image = sample_board();
        image[3072] = tag.first;  // third copy
        image[3073] = tag.second;
        inserted r = insert_into(image);
        EXPECT_EQ(r.result, -2);
        EXPECT_EQ(r.out, "Internal error, unable to proceed\n");
        for (size_t p : {1024, 2048}) {
            EXPECT_EQ(std::string(&r.after[p + 25], &r.after[p + 41]), PART);
            EXPECT_EQ(sum_bytes(r.after, p, 106), 0);
        }
        EXPECT_EQ(std::vector<uint8_t>(r.after.begin() + 3072, r.after.end()),
                  std::vector<uint8_t>(image.begin() + 3072, image.end()));
    }
}

TEST(insert_chip_details, fails_on_a_file_too_short_or_missing) {
    std::vector<uint8_t> image = sample_board();
    image.resize(2048 + 10);
    capture_stdout([&] { EXPECT_NE(insert_into(image).result, 0); });
    outcome o = run_catching([] { insert_chip_details("/nonexistent/image.bin", 14, 0, PART, SERIAL, MAC); });
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "Unable to open file:/nonexistent/image.bin\n");
}

using board_details = sim_test;

TEST_F(board_details, are_read_from_the_second_copy) {
    char part[17], serial[25], mac[13];
    std::memset(eeprom() + 0x400 + 25, 'Z', 16);  // the first copy is not used
    read_board_details_from_chip(part, serial, mac);
    EXPECT_EQ(std::string(part, 17), std::string(SIM_PART_NUMBER, 17));
    EXPECT_EQ(std::string(serial, 25), std::string(SIM_SERIAL_NUMBER, 25));
    EXPECT_EQ(std::string(mac, 13), std::string(SIM_MAC_ADDRESS, 13));
}

TEST_F(board_details, of_a_blank_eeprom_are_0xff_bytes_then_zero) {
    sim_config cfg;
    cfg.blank = true;
    open_sim(cfg);
    char part[17], serial[25], mac[13];
    std::memset(part, 'x', sizeof part);
    std::memset(serial, 'x', sizeof serial);
    std::memset(mac, 'x', sizeof mac);
    read_board_details_from_chip(part, serial, mac);
    EXPECT_EQ(std::string(part, 17), std::string(16, '\xFF') + '\0');
    EXPECT_EQ(std::string(serial, 25), std::string(24, '\xFF') + '\0');
    EXPECT_EQ(std::string(mac, 13), std::string(12, '\xFF') + '\0');
}

}  // namespace
