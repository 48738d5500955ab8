// History records as systemd journal fields: names the journal accepts,
// one fixed MESSAGE_ID per outcome, null values left out.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "romwright/history.h"

namespace {

TEST(journal_fields, a_record_gives_the_fields_of_its_outcome) {
    const json_value state = {{"sha256", "22"}, {"identity", {{"pn", "P1"}, {"sn", "SN-OLD"}, {"mac", "M1"}}},
                              {"good_copies", 14}, {"copies", 14}};
    json_value r = {{"adapter", "0000:04:00.0"}, {"words", {"-b", "04:00.0", "write", "-f:img.bin"}},
                    {"status", 1}, {"error", "ERROR: not this board\nsecond line"},
                    {"image", {{"path", "/v/img.bin"}, {"sha256", "aa"}, {"digest", "bb"}}}, {"forced", false},
                    {"before", state}, {"after", nullptr}, {"words_written", 0}, {"backup", nullptr},
                    {"user", {{"uid", 0}, {"name", "root"}}}};
    const std::pair<const char*, const char*> outcomes[] = {
        {"done", "PRIORITY=5"}, {"refused", "PRIORITY=4"}, {"failed", "PRIORITY=3"}, {"interrupted", "PRIORITY=3"}};
    std::set<std::string> ids;
    std::vector<std::string> f;
    auto has = [&f](const std::string& field) { return std::find(f.begin(), f.end(), field) != f.end(); };
    for (const auto& [outcome, priority] : outcomes) {
        SCOPED_TRACE(outcome);
        r["outcome"] = outcome;
        f = journal_fields(r);
        const char* id = journal_message_id(outcome);
        ASSERT_NE(id, nullptr);
        ids.insert(id);
        EXPECT_EQ(std::string(id).find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(std::string(id).size(), 32u);  // 128 bits
        EXPECT_TRUE(has(std::string("MESSAGE_ID=") + id));
        EXPECT_TRUE(has(priority));
        // Names as the journal takes them, each once.
        std::set<std::string> names;
        for (const std::string& x : f) {
            const std::string name = x.substr(0, x.find('='));
            EXPECT_TRUE(!name.empty() && name[0] != '_' &&
                        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos)
                << name;
            EXPECT_TRUE(names.insert(name).second) << name;
        }
    }
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(journal_message_id("planned"), nullptr);

    // The values (the last outcome's), the error's first line in MESSAGE;
    // a null value gives no field.
    for (const char* field : {"MESSAGE=0000:04:00.0: -b 04:00.0 write -f:img.bin: interrupted, 0 words written: "
                              "ERROR: not this board",
                              "SYSLOG_IDENTIFIER=romwright", "ROMWRIGHT_ADAPTER=0000:04:00.0", "ROMWRIGHT_STATUS=1",
                              "ROMWRIGHT_ERROR=ERROR: not this board\nsecond line", "ROMWRIGHT_FORCED=false",
                              "ROMWRIGHT_WORDS=-b 04:00.0 write -f:img.bin", "ROMWRIGHT_IMAGE_DIGEST=bb",
                              "ROMWRIGHT_BEFORE_SN=SN-OLD", "ROMWRIGHT_BEFORE_GOOD_COPIES=14",
                              "ROMWRIGHT_USER_NAME=root", "ROMWRIGHT_USER_UID=0"})
        EXPECT_TRUE(has(field)) << field;
    for (const char* name : {"ROMWRIGHT_AFTER_SHA256=", "ROMWRIGHT_BACKUP=", "ROMWRIGHT_ENDED="})
        EXPECT_FALSE(std::any_of(f.begin(), f.end(), [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
            << name;
}

}  // namespace
