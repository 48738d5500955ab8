// The VPD report: the identity compared across copies, bytes shown escaped,
// and the vpd command's traffic on the adapter.
#include <cstring>
#include <functional>

#include <nlohmann/json.hpp>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd_report.h"
#include "romwright/vpd_render.h"
#include "unit_support.h"

namespace {

// Register facts as the model has them, apart from the program's own.
using namespace sim_hw;

constexpr int COPIES = 14;

std::vector<uint8_t> sample_area() {
    const std::vector<uint8_t> b = sample_board();
    return std::vector<uint8_t>(b.begin() + 0x400, b.begin() + 0x400 + COPIES * 0x400);
}

uint8_t* copy_at(std::vector<uint8_t>& area, int i) { return &area[static_cast<size_t>(i) * 0x400]; }

// Puts text at offset in copy i and, when asked, fixes its checksum byte
// (105 in the sample layout).
void put(std::vector<uint8_t>& area, int i, uint32_t offset, const char* text, bool fix = true) {
    uint8_t* c = copy_at(area, i);
    std::memcpy(c + offset, text, std::strlen(text));
    if (fix)
        c[105] = get_checksum(c, 105);
}

std::string last_line(const std::string& text) {
    const size_t end = text.size() - 1;
    return text.substr(text.rfind('\n', end - 1) + 1);
}

TEST(vpd_report, compares_the_identity_of_the_good_copies_and_names_those_that_differ) {
    struct agreement_case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        const char* summary;
        int status;
        int good;    // JSON summary: the good copies...
        bool agree;  // ...and whether they agree, as the summary line says
    };
    const agreement_case cases[] = {
        {"the sample board", [](std::vector<uint8_t>&) {},
         "Summary: 14 of 14 copies good; part number, serial number and MAC address agree in all good copies\n", 0,
         14, true},
        {"one serial number differs", [](std::vector<uint8_t>& a) { put(a, 5, 63, "PTSIM0000000000000099999"); },
         "Summary: 14 of 14 copies good; serial number differs in copy 5 (0x1800); part number and MAC address "
         "agree in all good copies\n",
         1, 14, false},
        {"the first copy is the odd one out, and two fields differ",
         [](std::vector<uint8_t>& a) {
             put(a, 0, 90, "0C4E29FFFFFF");
             put(a, 13, 90, "0C4E29FFFFFE");
             put(a, 2, 25, "1102005SIMA00002");
         },
         "Summary: 14 of 14 copies good; part number differs in copy 2 (0x0c00); MAC address differs in copies 0 "
         "(0x0400), 13 (0x3800); serial number agrees in all good copies\n",
         1, 14, false},
        {"a faulty copy takes no part in the comparison",
         [](std::vector<uint8_t>& a) { put(a, 4, 63, "PTSIM0000000000000099999", false); },
         "Summary: 13 of 14 copies good; part number, serial number and MAC address agree in all good copies\n", 1,
         13, true},
        {"no good copy", [](std::vector<uint8_t>& a) { std::fill(a.begin(), a.end(), 0xFF); },
         "Summary: 0 of 14 copies good; no good copy to compare part number, serial number and MAC address\n", 1,
         0, false},
    };
    for (const agreement_case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<uint8_t> area = sample_area();
        k.change(area);
        const vpd_report r = make_vpd_report(area.data(), COPIES, 0x400);
        EXPECT_EQ(last_line(render_vpd_report_text(r)), k.summary);
        EXPECT_EQ(exit_status_of(r.verdict()), k.status);
        const nlohmann::json summary = nlohmann::json::parse(render_vpd_report_json(r))["summary"];
        EXPECT_EQ(summary["good"], k.good);
        EXPECT_EQ(summary["agree"], k.agree);
    }
}

TEST(vpd_report, the_value_most_good_copies_hold_is_the_agreed_one) {
    std::vector<uint8_t> area = sample_area();
    for (int i : {0, 1, 2})
        put(area, i, 63, "PTSIM0000000000000099999");
    const vpd_report r = make_vpd_report(area.data(), COPIES, 0x400);
    EXPECT_EQ(r.fields[1].value, "PTSIM0000000000000012345");
    EXPECT_EQ(r.fields[1].differing, (std::vector<int>{0, 1, 2}));
    const nlohmann::json doc = nlohmann::json::parse(render_vpd_report_json(r));
    EXPECT_EQ(doc["summary"]["serial_number"]["value"], "PTSIM0000000000000012345");
    EXPECT_EQ(doc["summary"]["serial_number"]["differing_copies"], nlohmann::json({0, 1, 2}));
    EXPECT_EQ(doc["summary"]["agree"], false);
    EXPECT_EQ(doc["copies"][0]["serial_number"], "PTSIM0000000000000099999");
}

// A copy with control and high bytes in its ID string, a backslash in EC,
// and a read-write item holding another keyword after the read-only one.
TEST(vpd_report, shows_every_byte_from_the_copies_escaped) {
    std::vector<uint8_t> area = sample_area();
    uint8_t* c = copy_at(area, 3);
    c[3 + 6] = '\n';
    c[3 + 11] = 0xFF;
    c[44] = '\\';
    c[45] = 0x00;
    c[105] = get_checksum(c, 105);
    const uint8_t rw_item[] = {0x91, 7, 0, 'Y', 'A', 4, 'a', 'b', 0x01, 0x80, 0x78};
    std::memcpy(c + 106, rw_item, sizeof rw_item);
    const vpd_report r = make_vpd_report(area.data(), COPIES, 0x400);

    const std::string text = render_vpd_report_text(r, true);  // every copy, under its own head
    for (unsigned char ch : text)
        ASSERT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7F)) << "raw byte 0x" << std::hex << int{ch};
    EXPECT_NE(text.find("Copy 3 at 0x1000: good\n"
                        "  ID string  RW-SIM\\x0aDUAL\\xff25GB\n"
                        "  PN         1102005SIMA00001\n"
                        "  EC         \\\\\\x00 SIMULATED ECO\n"
                        "  SN         PTSIM0000000000000012345\n"
                        "  NA (MAC)   0C4E29000001\n"
                        "  YA (rw)    ab\\x01\\x80\n"
                        "  checksum   good\n"
                        "Copy 4"),
              std::string::npos)
        << text;

    const nlohmann::json copy = nlohmann::json::parse(render_vpd_report_json(r))["copies"][3];
    EXPECT_EQ(copy["id_string"], "RW-SIM\\x0aDUAL\\xff25GB");
    EXPECT_EQ(copy["ec"], "\\\\\\x00 SIMULATED ECO");
    EXPECT_EQ(copy["other_keywords"],
              nlohmann::json::parse(R"([{"keyword": "YA", "read_only": false, "length": 4, "value": "ab\\x01\\x80"}])"));
}

// Damaged layouts: the copy is faulty, the checksum judged as its bytes
// say, and every keyword listed, a repeated one with the other keywords.
TEST(vpd_report, lists_every_keyword_of_a_damaged_copy_and_calls_it_faulty) {
    struct damaged_case {
        const char* what;
        std::function<void(uint8_t*)> change;  // of copy 4, checksum fixed afterwards
        const char* keywords;                  // every keyword in order; nullptr: not compared
        const char* other;                     // "other_keywords", by name
        std::string text;                      // the copy's lines from NA on
    };
    const std::string xs(60, 'X');
    const damaged_case cases[] = {
        {"an SN of 60 bytes after RV",
         [&](uint8_t* c) {
             c[20] = 84 + 63;
             std::memcpy(c + 106, "SN\x3c", 3);
             std::memcpy(c + 109, xs.data(), 60);
             c[169] = 0x78;
         },
         "PN EC SN NA RV SN", "SN",
         "  NA (MAC)   0C4E29000001\n  SN         " + xs +
             "\n  checksum   good\n  problem    keyword SN is held twice (at offsets 60 and 106)\nCopy 5"},
        {"RV twice",
         [](uint8_t* c) {
             c[20] = 84 + 4;
             std::memcpy(c + 106, "RV\x01\x00\x78", 5);
         },
         "PN EC SN NA RV RV", "RV",
         "  NA (MAC)   0C4E29000001\n  RV         \\x00\n  checksum   good\n"
         "  problem    keyword RV is held twice (at offsets 102 and 106)\nCopy 5"},
        {"the read-only item's length past the copy", [](uint8_t* c) { c[20] = c[21] = 0xFF; }, nullptr, nullptr,
         "  checksum   good\n  problem    the item with tag 0x90 at offset 19 (65535 bytes) runs past the copy\n"},
    };
    for (const damaged_case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<uint8_t> area = sample_area();
        uint8_t* c = copy_at(area, 4);
        k.change(c);
        c[105] = get_checksum(c, 105);
        const vpd_report r = make_vpd_report(area.data(), COPIES, 0x400);
        EXPECT_EQ(r.good, 13);
        const std::string text = render_vpd_report_text(r, true);
        EXPECT_NE(text.find("Copy 4 at 0x1400: faulty\n"), std::string::npos);
        EXPECT_NE(text.find(k.text), std::string::npos) << text;
        const nlohmann::json copy = nlohmann::json::parse(render_vpd_report_json(r))["copies"][4];
        EXPECT_EQ(copy["state"], "faulty");
        EXPECT_EQ(copy["checksum"], "good");
        if (!k.keywords)
            continue;
        std::string names, others;
        for (const nlohmann::json& kw : copy["keywords"])
            names += (names.empty() ? "" : " ") + kw["keyword"].get<std::string>();
        for (const nlohmann::json& kw : copy["other_keywords"])
            others += kw["keyword"].get<std::string>();
        EXPECT_EQ(names, k.keywords);
        EXPECT_EQ(others, k.other);
        EXPECT_EQ(copy["keywords"].back()["offset"], 106);
    }
}

TEST(render_json_error, carries_the_message_without_its_line_end_and_survives_any_byte) {
    const nlohmann::json doc = nlohmann::json::parse(render_json_error("Unable to open file:a\xff.bin\n", 255));
    EXPECT_EQ(doc["status"], 255);
    EXPECT_EQ(doc["error"], "Unable to open file:a\xef\xbf\xbd.bin");  // U+FFFD in place of the byte
}

using vpd_command = sim_test;

// Read-only: the 14 copies are read word by word in address order, and
// nothing is written to the EEPROM, the microprocessor or the chip reset.
TEST_F(vpd_command, reads_the_14_copies_and_nothing_else) {
    const std::vector<uint8_t> before(eeprom(), eeprom() + SIM_EEPROM_SIZE);
    std::string out;
    EXPECT_EQ(run_main({"-b", "04:00.0", "vpd"}, &out), 0);
    EXPECT_EQ(last_line(out),
              "Summary: 14 of 14 copies good; part number, serial number and MAC address agree in all good copies\n");

    std::vector<uint32_t> reads;
    bool wrote_eeprom = false, touched_reset = false;
    const std::vector<sim_access>& t = trace();
    for (size_t i = 0; i < t.size(); ++i) {
        touched_reset = touched_reset || t[i].offset == REG_UP_RESET || t[i].offset == REG_FULLCHIP_RESET;
        if (i > 0 && t[i - 1] == W(REG_CFG_REQUEST, 0x4F0000D0) && t[i] .kind == 'W' &&
            t[i].offset == REG_CFG_DATA) {
            if (t[i].value & sim_hw::VPD_FLAG)
                wrote_eeprom = true;
            else
                reads.push_back(((t[i].value >> 16) & 0x7FFF) + 0x400);  // VPD address -> EEPROM address
        }
    }
    ASSERT_EQ(reads.size(), 3584u);
    for (size_t i = 0; i < reads.size(); ++i)
        ASSERT_EQ(reads[i], 0x400 + 4 * i) << i;
    EXPECT_FALSE(wrote_eeprom);
    EXPECT_FALSE(touched_reset);
    EXPECT_EQ(model().chip_resets(), 0u);
    EXPECT_EQ(std::vector<uint8_t>(eeprom(), eeprom() + SIM_EEPROM_SIZE), before);
}

}  // namespace
