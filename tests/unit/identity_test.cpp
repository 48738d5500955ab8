// VPD identity transfer: checksum, the RV field, the identity written into
// every VPD copy of an image file, and the identity read from the board.
#include <cstring>

#include <functional>

#include "eeprom/bulk.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_digest.h"
#include "eeprom/vpd.h"
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

// The decoder over the sample copy and over copies broken on purpose: what
// it reports, and that it never reads past the copy.
TEST(decode_vpd_copy, reads_the_sample_copy) {
    std::vector<uint8_t> copy = sample_copy();
    const vpd_copy_info info = decode_vpd_copy(copy.data(), 1024);
    EXPECT_TRUE(info.good());
    EXPECT_EQ(vpd_escape(&copy[info.id_offset], info.id_length), "RW-SIM DUAL 25GB");
    std::string names;
    for (const vpd_keyword& k : info.keywords)
        names += std::string(k.name) + (k.read_only ? "" : "(w)") + " ";
    EXPECT_EQ(names, "PN EC SN NA RV ");
    EXPECT_EQ(info.rv_offset, 102);
    EXPECT_TRUE(info.end_tag);
    ASSERT_NE(info.find("SN"), nullptr);
    EXPECT_EQ(info.find("SN")->offset, 63u);
}

TEST(decode_vpd_copy, reports_each_problem) {
    struct broken_case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        vpd_checksum_state checksum;
        int rv_offset;
        const char* problem;  // the first problem reported, "" for none
    };
    const broken_case cases[] = {
        {"unchanged", [](std::vector<uint8_t>&) {}, vpd_checksum_state::good, 102, ""},
        {"a changed byte", [](std::vector<uint8_t>& c) { c[30] ^= 1; }, vpd_checksum_state::bad, 102, ""},
        {"RV pairs inside data are no keyword",
         [](std::vector<uint8_t>& c) {
             std::memcpy(&c[25], "RV", 2);
             std::memcpy(&c[70], "RV", 2);
             c[105] = static_cast<uint8_t>(c[105] - ('R' - c[25]) - ('V' - c[26]));
         },
         vpd_checksum_state::bad, 102, ""},
        {"blank", [](std::vector<uint8_t>& c) { std::fill(c.begin(), c.end(), 0xFF); }, vpd_checksum_state::missing,
         -1, "blank: every byte is 0xFF"},
        {"wrong first tag", [](std::vector<uint8_t>& c) { c[0] = 0x10; }, vpd_checksum_state::missing, -1,
         "does not begin with the identifier-string tag 0x82 (begins with 0x10)"},
        {"ID string past the copy", [](std::vector<uint8_t>& c) { c[1] = c[2] = 0xFF; }, vpd_checksum_state::missing,
         -1, "the identifier string (65535 bytes) runs past the copy"},
        // A damaged length still lets the checksum be judged where its byte
        // lies inside the copy; the copy stays faulty for the length.
        {"VPD-R past the copy", [](std::vector<uint8_t>& c) { c[20] = c[21] = 0xFF; }, vpd_checksum_state::bad,
         102, "the item with tag 0x90 at offset 19 (65535 bytes) runs past the copy"},
        {"VPD-R past the copy, checksum made good",
         [](std::vector<uint8_t>& c) {
             c[20] = c[21] = 0xFF;
             c[105] = get_checksum(c.data(), 105);
         },
         vpd_checksum_state::good, 102, "the item with tag 0x90 at offset 19 (65535 bytes) runs past the copy"},
        {"RV past its item, checksum made good",
         [](std::vector<uint8_t>& c) {
             c[104] = 10;
             c[105] = get_checksum(c.data(), 105);
         },
         vpd_checksum_state::good, 102, "VPD-R item: keyword RV at offset 102 runs past the item"},
        // A keyword held twice, checksum good: the only problem.
        {"an SN of 60 bytes after RV",
         [](std::vector<uint8_t>& c) {
             c[20] = 84 + 63;
             std::memcpy(&c[106], "SN\x3c", 3);
             std::fill(c.begin() + 109, c.begin() + 169, 'X');
             c[169] = 0x78;
             c[105] = get_checksum(c.data(), 105);
         },
         vpd_checksum_state::good, 102, "keyword SN is held twice (at offsets 60 and 106)"},
        {"RV twice",
         [](std::vector<uint8_t>& c) {
             c[20] = 84 + 4;
             std::memcpy(&c[106], "RV\x01\x00\x78", 5);
             c[105] = get_checksum(c.data(), 105);
         },
         vpd_checksum_state::good, 102, "keyword RV is held twice (at offsets 102 and 106)"},
        {"RV of length 0", [](std::vector<uint8_t>& c) { c[104] = 0; }, vpd_checksum_state::missing, -1,
         "RV field at offset 102 has no checksum byte"},
        {"keyword past its item", [](std::vector<uint8_t>& c) { c[89] = 40; }, vpd_checksum_state::missing, -1,
         "VPD-R item: keyword NA at offset 87 runs past the item"},
        {"no RV", [](std::vector<uint8_t>& c) { std::memcpy(&c[102], "XX", 2); }, vpd_checksum_state::missing, -1,
         "the VPD-R item has no RV checksum field"},
        {"no end tag",
         [](std::vector<uint8_t>& c) {  // a VPD-W item of empty keywords up to the copy's end
             std::fill(c.begin() + 106, c.end(), 0);
             c[106] = 0x91;
             c[107] = (1024 - 109) & 0xFF;
             c[108] = (1024 - 109) >> 8;
         },
         vpd_checksum_state::good, 102,
         "no end tag inside the copy"},
    };
    for (const broken_case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<uint8_t> copy = sample_copy();
        k.change(copy);
        const vpd_copy_info info = decode_vpd_copy(copy.data(), 1024);
        EXPECT_EQ(info.checksum, k.checksum);
        EXPECT_EQ(info.rv_offset, k.rv_offset);
        EXPECT_EQ(info.problems.empty() ? std::string() : vpd_problem_text(info.problems.front()), k.problem);
    }
}

TEST(decode_vpd_copy, never_looks_past_the_copy) {
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
    std::vector<uint8_t> item_at_end = sample_copy();  // VPD-R header at 1022
    item_at_end[1] = 0xFB;
    item_at_end[2] = 0x03;
    item_at_end[1022] = 0x90;
    for (std::vector<uint8_t> b : {chain, item_at_end}) {
        b.resize(2048, 0);
        b[1024] = 1;
        const vpd_copy_info info = decode_vpd_copy(b.data(), 1024);
        EXPECT_EQ(info.rv_offset, -1);
        EXPECT_FALSE(info.problems.empty());
    }
}

TEST(vpd_escape, shows_every_byte_printably) {
    const uint8_t bytes[] = {'A', ' ', '\\', 0x00, 0x7F, 0xFF, '~'};
    EXPECT_EQ(vpd_escape(bytes, sizeof bytes), "A \\\\\\x00\\x7f\\xff~");
}

// A full image built from the sample board given the test identity.
struct inserted {
    bool taken;
    std::string why;
    std::vector<uint8_t> before, after;
};
inserted insert_into(std::vector<uint8_t> image, int32_t first_copy = 1024) {
    inserted r{false, "", image, image};
    const std::optional<identity_take_fault> why = insert_identity(r.after, 14, first_copy, {PART, SERIAL, MAC});
    r.taken = !why;
    r.why = why ? identity_take_fault_text(*why) : "";
    return r;
}

TEST(insert_identity, gives_every_copy_the_identity_and_a_checksum) {
    std::vector<uint8_t> image = sample_board();
    const size_t no_na = 1024 + 3 * 1024;  // the fourth copy has no NA keyword
    std::memcpy(&image[no_na + 87], "XX", 2);
    inserted r = insert_into(image);
    EXPECT_TRUE(r.taken) << r.why;
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

// All or nothing: a copy that cannot take the identity leaves the whole
// image as it was, and the reason names that copy.
TEST(insert_identity, refuses_a_copy_that_cannot_take_it_and_changes_nothing) {
    struct refused_case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        const char* reason;
    };
    const refused_case cases[] = {
        {"tag 0x00 0x10", [](std::vector<uint8_t>& i) { i[3072] = 0x00; },
         "the VPD copy at file offset 0xc00 (3072) does not begin with the identifier-string tag 0x82 0x10 (it holds "
         "0x00 0x10)"},
        {"tag bytes swapped", [](std::vector<uint8_t>& i) { i[3072] = 0x10, i[3073] = 0x82; },
         "the VPD copy at file offset 0xc00 (3072) does not begin with the identifier-string tag 0x82 0x10 (it holds "
         "0x10 0x82)"},
        {"RV of length 0", [](std::vector<uint8_t>& i) { i[3072 + 104] = 0; },
         "the VPD copy at file offset 0xc00 (3072) has no RV checksum field inside the copy (RV field at offset 102 "
         "has no checksum byte)"},
        {"VPD-R past the copy, no RV inside it",
         [](std::vector<uint8_t>& i) {
             i[14336 + 21] = 0xFF;
             i[14336 + 102] = 'X';
         },
         "the VPD copy at file offset 0x3800 (14336) has no RV checksum field inside the copy (the item with tag 0x90 "
         "at offset 19 (65364 bytes) runs past the copy)"},
        {"file ends inside the last copy", [](std::vector<uint8_t>& i) { i.resize(14366); },
         "the VPD copy at file offset 0x3800 (14336) runs past the end of the file (14366 bytes)"},
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image = sample_board();
        c.change(image);
        inserted r = insert_into(image);
        EXPECT_FALSE(r.taken);
        EXPECT_EQ(r.why, c.reason);
        EXPECT_EQ(r.after, image);
    }
}

// The image digest masks exactly what the identity transfer rewrites: the
// three fields at their fixed offsets and the RV checksum byte.
TEST(image_digest, changes_with_every_byte_but_those_the_identity_transfer_rewrites) {
    const std::vector<uint8_t> image = sample_board();
    const std::string d = image_digest(image);
    inserted r = insert_into(image);
    ASSERT_TRUE(r.taken);
    EXPECT_EQ(image_digest(r.after), d);
    const auto rewritten = [](size_t i) {
        return (i >= 25 && i < 41) || (i >= 63 && i < 87) || (i >= 90 && i < 102) || i == 105;
    };
    const size_t copy = 0x400 * 5;  // every byte of one copy
    for (size_t i = 0; i < 1024; ++i) {
        std::vector<uint8_t> changed = image;
        changed[copy + i] ^= 0x01;
        EXPECT_EQ(image_digest(changed) == d, rewritten(i)) << "copy offset " << i;
    }
    // PN, SN and NA keywords elsewhere are content like any other: a second
    // SN behind RV is not masked.
    auto with_second_sn = [&](char fill) {
        std::vector<uint8_t> b = image;
        for (size_t p = 0x400; p < 0x400 + 14 * 0x400; p += 0x400) {
            b[p + 20] = 84 + 63;
            std::memcpy(&b[p + 106], "SN\x3c", 3);
            std::fill(b.begin() + static_cast<long>(p) + 109, b.begin() + static_cast<long>(p) + 169, fill);
            b[p + 169] = 0x78;
            b[p + 105] = get_checksum(&b[p], 105);
        }
        return b;
    };
    EXPECT_NE(image_digest(with_second_sn('X')), image_digest(with_second_sn('Y')));
}

TEST(identity_fault, refuses_blank_and_broken_identities) {
    std::vector<uint8_t> copy = sample_copy();
    EXPECT_EQ(identity_fault(copy.data()), std::nullopt);
    std::vector<uint8_t> blank(1024, 0xFF);
    EXPECT_EQ(identity_faults_text(identity_fault(blank.data()).value_or(identity_faults{})),
              "the copy does not begin with the identifier-string tag 0x82 (it holds 0xff); the part number is not "
              "printable text; the serial number is not printable text; the MAC address is not 12 hexadecimal digits");
    copy[63 + 23] = 0x07;
    copy[90 + 11] = 'G';
    EXPECT_EQ(identity_faults_text(identity_fault(copy.data()).value_or(identity_faults{})), "the serial number is not printable text; the MAC address is not 12 hexadecimal digits");
}

using board_details = sim_test;

TEST_F(board_details, are_the_raw_fields_of_a_copy) {
    std::vector<uint8_t> copy(VPD_COPY_SIZE);
    read_seeprom(session(), copy.data(), 0x0800, VPD_COPY_SIZE);
    const board_identity id = identity_of_copy(copy.data());
    EXPECT_EQ(id.part_number, std::string(SIM_PART_NUMBER, 16));
    EXPECT_EQ(id.serial_number, std::string(SIM_SERIAL_NUMBER, 24));
    EXPECT_EQ(id.mac_address, std::string(SIM_MAC_ADDRESS, 12));
    const std::vector<uint8_t> blank(VPD_COPY_SIZE, 0xFF);  // a blank board: 0xFF bytes, whole fields
    EXPECT_EQ(identity_of_copy(blank.data()).serial_number, std::string(24, '\xFF'));
}

}  // namespace
