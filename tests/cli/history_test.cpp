// The history file: one record per change run that reached the adapter,
// its place guarded, and the history command reading it back.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"
#include "romwright/history.h"

namespace {

using namespace cli;
using json = nlohmann::json;

std::vector<json> records_of(const board& b) {
    std::vector<json> out;
    for (const std::string& line : lines_of(read_text(b.file("history.jsonl"))))
        out.push_back(json::parse(line));
    return out;
}

TEST(history, each_outcome_leaves_one_record_with_every_field) {
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    std::vector<uint8_t> other = changed_full_image();
    for (uint32_t i = 0; i < kCopies; ++i)
        std::memcpy(&other[0x400 + 0x400 * i + 3], "OTHER BOARD 10GB", 16);
    write_file(b.file("other.bin"), other);
    std::vector<uint8_t> second = changed_full_image();
    std::memset(&second[0], 0x5A, 16);  // the first word written changes
    write_file(b.file("second.bin"), second);
    struct step {
        std::vector<std::string> words, sim_opts;
        const char* outcome;  // nullptr: no record
    } steps[] = {
        {{"write", "-f:img.bin"}, {}, "done"},
        {{"write", "-f:other.bin"}, {}, "refused"},
        {{"write", "-f:img.bin", "-plan"}, {}, nullptr},
        {{"dump", "-len", "4"}, {}, nullptr},
        {{"write", "-f:second.bin"}, {"--stall", "status"}, "failed"},
        // The failed write left its journal: the next run records it once.
        {{"vpd"}, {}, "interrupted"},
        {{"vpd"}, {}, nullptr},
    };
    size_t expected = 0;
    for (const step& s : steps) {
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), s.words.begin(), s.words.end());
        b.run(words, s.sim_opts);
        const std::vector<json> recs = records_of(b);
        SCOPED_TRACE(s.words.front());
        ASSERT_EQ(recs.size(), expected + (s.outcome ? 1 : 0));
        if (!s.outcome)
            continue;
        expected = recs.size();
        const json& r = recs.back();
        EXPECT_EQ(r["outcome"], s.outcome);
        for (const char* key : {"schema", "id", "host", "adapter", "vendor_id", "device_id", "command", "words",
                                "started", "ended", "status", "error", "image", "forced", "before", "after",
                                "words_written", "backup", "version", "user"})
            EXPECT_TRUE(r.contains(key)) << key;
        EXPECT_EQ(r["adapter"], "0000:04:00.0");
        EXPECT_EQ(r["user"]["uid"], getuid());
    }
    const std::vector<json> recs = records_of(b);
    EXPECT_NE(recs[0]["id"], recs[1]["id"]);
    EXPECT_EQ(recs[0]["status"], 0);
    EXPECT_EQ(recs[0]["before"]["identity"]["sn"], kBoardSn);
    EXPECT_EQ(recs[0]["after"]["good_copies"], 14);
    EXPECT_EQ(recs[0]["words_written"], 8136);
    EXPECT_TRUE(recs[0]["backup"].is_string());
    EXPECT_EQ(recs[0]["image"]["path"], b.file("img.bin"));
    EXPECT_EQ(recs[1]["status"], 1);
    EXPECT_NE(recs[1]["error"].get<std::string>().find("not an image of this board"), std::string::npos);
    EXPECT_EQ(recs[1]["backup"], nullptr);
    EXPECT_EQ(recs[2]["status"], 1);
    EXPECT_TRUE(recs[2]["after"].is_null());
    EXPECT_EQ(recs[3]["words"], json::array({"write", "-f:second.bin"}));

    struct stat st;
    ASSERT_EQ(stat(b.file("history.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // history: newest last, one line each; -json the records.
    const run_result t = b.run({"history"});
    EXPECT_EQ(t.status, 0);
    const std::vector<std::string> lines = lines_of(t.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("-b 04:00.0 write -f:img.bin  done  1102005SIMA00001/" + std::string(kBoardSn) +
                            "/0C4E29000001 -> 1102005SIMA00001/"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("8136 words  backup " + b.file("backups/")), std::string::npos) << lines[0];
    EXPECT_NE(lines[3].find("interrupted"), std::string::npos);
    const json doc = json::parse(b.run({"-b", "all", "-json", "history"}).out);
    EXPECT_EQ(doc["status"], 0);
    EXPECT_EQ(doc["records"], json(recs));
    EXPECT_EQ(json::parse(b.run({"-b", "05:00.0", "-json", "history"}).out)["records"], json::array());

    // A malformed line is skipped with its number; the file stays as it is.
    const std::string before = read_text(b.file("history.jsonl"));
    write_text(b.file("history.jsonl"), before + "not json\n");
    const run_result m = b.run({"history"});
    EXPECT_EQ(lines_of(m.out).size(), 4u);
    EXPECT_NE(m.err.find("history.jsonl, line 5: not a history record; skipped"), std::string::npos) << m.err;
    EXPECT_EQ(read_text(b.file("history.jsonl")), before + "not json\n");
}

// A write that stopped at a word that read back different: the EEPROM after
// is known without reading it again (the earlier words as planned, that one
// as read back).
TEST(history, a_failed_write_records_the_eeprom_as_its_words_left_it) {
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    const run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"}, {"--write-protect"});
    ASSERT_EQ(r.status, 1) << r.err;
    const std::vector<json> recs = records_of(b);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0]["outcome"], "failed");
    EXPECT_EQ(recs[0]["after"]["sha256"], recs[0]["before"]["sha256"]);
    // As a read gives it (the status word reads the EEPROM's status).
    ASSERT_EQ(b.run({"-b", "04:00.0", "read", "now.bin"}).status, 0);
    EXPECT_EQ(recs[0]["after"], json(eeprom_state_json(read_file(b.file("now.bin")))));
}

TEST(history, a_record_that_cannot_be_written_only_warns) {
    struct place_case {
        const char* what;
        void (*spoil)(const board& b);
    } cases[] = {
        {"a link in its place", [](const board& b) { ASSERT_EQ(symlink("elsewhere", b.file("history.jsonl").c_str()), 0); }},
        {"a folder in its place", [](const board& b) { ASSERT_EQ(mkdir(b.file("history.jsonl").c_str(), 0700), 0); }},
        {"a full disk", [](const board& b) { ASSERT_EQ(symlink("/dev/full", b.file("history.jsonl").c_str()), 0); }},
    };
    for (const place_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        c.spoil(b);
        write_file(b.file("img.bin"), changed_full_image());
        const run_result r = b.run({"-b", "04:00.0", "-json", "write", "-f:img.bin"});
        EXPECT_EQ(r.status, 0) << r.out;
        const json doc = json::parse(r.out);
        ASSERT_TRUE(doc.contains("warnings"));
        EXPECT_NE(doc["warnings"][0].get<std::string>().find("the history record was not written"),
                  std::string::npos);
        EXPECT_NE(r.err.find("the history record was not written"), std::string::npos);
        EXPECT_NE(b.contents(), sample_board());
        EXPECT_FALSE(std::ifstream(b.file("elsewhere")).good());
    }
}

}  // namespace
