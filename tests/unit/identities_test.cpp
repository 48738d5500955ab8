// The boards' identities compared (blank values, one board per device,
// padding and case) and label values as the exposition format takes them.
#include <gtest/gtest.h>

#include "romwright/identities.h"
#include "romwright/metrics.h"

namespace {

TEST(identities, blank_values_are_the_audits_blank_ones) {
    struct blank_case {
        const char* field;
        bool has_value;
        const char* value;  // escaped, as the VPD report holds it
        bool blank;
    } const cases[] = {
        {"serial", false, "", true},
        {"serial", true, "        ", true},
        {"serial", true, "000000000000", true},
        {"serial", true, "\\x00\\x00\\x00", true},
        {"serial", true, "\\xFF\\xff \\xff", true},
        {"serial", true, "FFFFFFFFFFFF", false},  // only a MAC address of F's is blank
        {"mac", true, "FFFFFFFFFFFF", true},
        {"mac", true, "ffffffffffff", true},
        {"serial", true, "\\x000", false},  // two kinds of filler: a value
        {"serial", true, "\\\\x00", false},  // a backslash and "x00"
        {"serial", true, "PTSIM00001  ", false},
        {"mac", true, "0C4E29000001", false},
    };
    for (const blank_case& c : cases)
        EXPECT_EQ(identity_blank(c.field, c.has_value, c.value), c.blank) << c.field << " " << c.value;
}

std::string escaped(const std::string& bytes) {
    return vpd_escape(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

// A board whose good copies hold this serial number and MAC address (bytes).
vpd_report board(const std::string& sn, const std::string& mac) {
    vpd_report r;
    r.fields[1].has_value = r.fields[2].has_value = true;
    r.fields[1].bytes = sn;
    r.fields[1].value = escaped(sn);
    r.fields[2].bytes = mac;
    r.fields[2].value = escaped(mac);
    return r;
}

TEST(identities, a_value_on_two_devices_is_shared_and_functions_of_one_device_are_one_board) {
    const vpd_report a = board("SN-A    ", "0c4e29000001");
    const vpd_report a_fn1 = board("SN-A    ", "0c4e29000001");
    const vpd_report b = board("SN-B    ", "0C4E29000001 ");
    const vpd_report c = board(std::string("SN-B\0\0\0\0", 8), "0C4E29000003");  // NULs where b has blanks
    const vpd_report blank1 = board("        ", "FFFFFFFFFFFF");
    const vpd_report blank2 = board(std::string(2, '\0'), "000000000000");
    // Functions of one device only: nothing shared.
    EXPECT_TRUE(compare_identities({{"0000:04:00.0", &a}, {"0000:04:00.1", &a_fn1}}).duplicates.empty());

    const identity_check r = compare_identities({{"0000:04:00.0", &a},
                                                 {"0000:04:00.1", &a_fn1},
                                                 {"0001:04:00.0", &b},
                                                 {"0000:05:00.0", &c},
                                                 {"0000:06:00.0", &blank1},
                                                 {"0000:07:00.0", &blank2}});
    ASSERT_EQ(r.duplicates.size(), 2u);
    EXPECT_STREQ(r.duplicates[0].field, "mac");
    EXPECT_EQ(r.duplicates[0].value, "0C4E29000001");  // case and padding do not hide it
    EXPECT_EQ(r.duplicates[0].adapters, (std::vector<std::string>{"0000:04:00.0", "0000:04:00.1", "0001:04:00.0"}));
    EXPECT_STREQ(r.duplicates[1].field, "serial");
    EXPECT_EQ(r.duplicates[1].value, "SN-B");  // nor NUL padding against blanks
    EXPECT_EQ(r.duplicates[1].adapters, (std::vector<std::string>{"0001:04:00.0", "0000:05:00.0"}));
    EXPECT_EQ(r.duplicated("mac"), 1);
    EXPECT_EQ(r.duplicated("serial"), 1);
    // Blank boards are named as blank, never as sharing their filler.
    ASSERT_EQ(r.blanks.size(), 2u);
    for (const identity_check::blank& bl : r.blanks)
        EXPECT_EQ(bl.adapters, (std::vector<std::string>{"0000:06:00.0", "0000:07:00.0"})) << bl.field;
}

TEST(metrics, label_values_escape_what_the_exposition_format_requires) {
    const std::pair<std::string, std::string> cases[] = {
        {"0C4E29000001", "0C4E29000001"},
        {"a\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {std::string("t\x01z\xff", 4), "t\\\\x01z\\\\xff"},
        {"\\x0a", "\\\\x0a"},  // an escaped byte as the VPD report shows it
    };
    for (const auto& [text, label] : cases)
        EXPECT_EQ(prometheus_label_value(text), label) << text;
}

// The last record of an adapter, as -b names it: its end (an interrupted
// change's start) and status.
TEST(metrics, the_last_change_is_the_adapters_last_record) {
    auto rec = [](const char* adapter, json_value started, json_value ended, json_value status) {
        return json_value{{"adapter", adapter}, {"started", started}, {"ended", ended}, {"status", status}};
    };
    const std::vector<json_value> records = {
        rec("0000:04:00.0", "2027-01-15T08:00:00Z", "2027-01-15T08:00:41Z", 0),
        rec("0000:05:00.0", "2027-01-15T08:01:00Z", "2027-02-30T08:01:00Z", 1),  // no such day
        rec("0000:06:00.0", "2027-01-15T08:02:00Z", nullptr, nullptr),  // interrupted
        rec("0000:04:00.0", "2027-01-15T08:03:00Z", "2027-01-15T08:03:05Z", 1),
    };
    struct last_case {
        const char* address;
        bool found;
        std::optional<int64_t> time;
        std::optional<int> status;
    } const cases[] = {
        {"0000:04:00.0", true, 1800000185, 1},
        {"04:00.0", true, 1800000185, 1},  // the -b as given, when it found no function
        {"0000:05:00.0", true, 1800000060, 1},
        {"0000:06:00.0", true, 1800000120, std::nullopt},
        {"0000:07:00.0", false, std::nullopt, std::nullopt},
    };
    for (const last_case& c : cases) {
        SCOPED_TRACE(c.address);
        const std::optional<last_change> last = last_change_of(records, c.address);
        ASSERT_EQ(last.has_value(), c.found);
        if (!last)
            continue;
        EXPECT_EQ(last->time, c.time);
        EXPECT_EQ(last->status, c.status);
    }
}

}  // namespace

