// History records as systemd journal fields: names the journal accepts,
// one fixed MESSAGE_ID per outcome, null values left out.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "romwright/history.h"

namespace {

json_value state(const char* sha, const char* sn) {
    return {{"sha256", sha},
            {"identity", {{"pn", "1102005SIMA00001"}, {"sn", sn}, {"mac", "0C4E29000001"}}},
            {"good_copies", 14},
            {"copies", 14}};
}

TEST(journal_fields, each_outcome_gives_its_fields) {
    const json_value done = {
        {"schema", 1}, {"id", "0123abcd"}, {"host", "h1"}, {"adapter", "0000:04:00.0"}, {"vendor_id", "0x1e2c"},
        {"device_id", "0x8001"}, {"command", "write"}, {"words", {"-b", "04:00.0", "write", "-f:img.bin"}},
        {"started", "2026-12-08T01:00:00Z"}, {"ended", "2026-12-08T01:01:00Z"}, {"outcome", "done"}, {"status", 0},
        {"error", nullptr}, {"image", {{"path", "/v/img.bin"}, {"sha256", "aa"}, {"digest", "bb"}}},
        {"forced", false}, {"before", state("11", "SN-OLD")}, {"after", state("22", "SN-OLD")},
        {"words_written", 8136}, {"backup", "/v/b.bin"}, {"version", "1.0.0"},
        {"user", {{"uid", 0}, {"name", "root"}}}};
    json_value refused = done;
    refused["outcome"] = "refused";
    refused["status"] = 1;
    refused["error"] = "ERROR: not an image of this board\nsecond line";
    refused["words_written"] = 0;
    refused["backup"] = nullptr;
    json_value failed = refused;
    failed["outcome"] = "failed";
    failed["after"] = nullptr;
    json_value interrupted = failed;
    interrupted["outcome"] = "interrupted";
    interrupted["status"] = nullptr;
    interrupted["words_written"] = nullptr;
    interrupted["before"] = nullptr;

    struct outcome_case {
        const json_value* record;
        const char* priority;
        std::vector<std::string> present, absent;
    } const cases[] = {
        {&done, "PRIORITY=5",
         {"MESSAGE=0000:04:00.0: -b 04:00.0 write -f:img.bin: done, 8136 words written", "SYSLOG_IDENTIFIER=romwright",
          "ROMWRIGHT_ADAPTER=0000:04:00.0", "ROMWRIGHT_STATUS=0", "ROMWRIGHT_FORCED=false",
          "ROMWRIGHT_WORDS=-b 04:00.0 write -f:img.bin", "ROMWRIGHT_IMAGE_DIGEST=bb", "ROMWRIGHT_BEFORE_SN=SN-OLD",
          "ROMWRIGHT_AFTER_SHA256=22", "ROMWRIGHT_AFTER_GOOD_COPIES=14", "ROMWRIGHT_BACKUP=/v/b.bin",
          "ROMWRIGHT_USER_NAME=root", "ROMWRIGHT_USER_UID=0"},
         {"ROMWRIGHT_ERROR"}},
        {&refused, "PRIORITY=4",
         {"MESSAGE=0000:04:00.0: -b 04:00.0 write -f:img.bin: refused, 0 words written: ERROR: not an image of this "
          "board",
          "ROMWRIGHT_STATUS=1", "ROMWRIGHT_ERROR=ERROR: not an image of this board\nsecond line"},
         {"ROMWRIGHT_BACKUP"}},
        {&failed, "PRIORITY=3", {"ROMWRIGHT_OUTCOME=failed", "ROMWRIGHT_BEFORE_SHA256=11"}, {"ROMWRIGHT_AFTER_SHA256"}},
        {&interrupted, "PRIORITY=3",
         {"ROMWRIGHT_OUTCOME=interrupted"},
         {"ROMWRIGHT_STATUS", "ROMWRIGHT_WORDS_WRITTEN", "ROMWRIGHT_BEFORE_PN"}},
    };
    std::set<std::string> ids;
    for (const outcome_case& c : cases) {
        const std::string outcome = (*c.record)["outcome"];
        SCOPED_TRACE(outcome);
        const std::vector<std::string> f = journal_fields(*c.record);
        auto has = [&f](const std::string& field) { return std::find(f.begin(), f.end(), field) != f.end(); };
        const char* id = journal_message_id(outcome);
        ASSERT_NE(id, nullptr);
        ids.insert(id);
        EXPECT_TRUE(has(std::string("MESSAGE_ID=") + id));
        EXPECT_TRUE(has(c.priority));
        for (const std::string& p : c.present)
            EXPECT_TRUE(has(p)) << p;
        for (const std::string& name : c.absent)
            EXPECT_FALSE(std::any_of(f.begin(), f.end(), [&](const std::string& x) { return x.rfind(name + "=", 0) == 0; }))
                << name;
        // Names as the journal takes them: upper-case letters, digits and
        // underscores, no leading underscore; each name once.
        std::set<std::string> names;
        for (const std::string& x : f) {
            const std::string name = x.substr(0, x.find('='));
            EXPECT_TRUE(!name.empty() && name[0] != '_' && name.size() <= 64 &&
                        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos)
                << name;
            EXPECT_TRUE(names.insert(name).second) << name;
        }
    }
    // One id per outcome, 128 bits in hex.
    EXPECT_EQ(ids.size(), 4u);
    for (const std::string& id : ids) {
        EXPECT_EQ(id.size(), 32u) << id;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    }
    EXPECT_EQ(journal_message_id("planned"), nullptr);
}

}  // namespace
