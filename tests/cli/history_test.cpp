// The history file: one record per change run that reached the adapter,
// its place guarded, and the history command reading it back.
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
        // The failed write left its journal, which says that its record
        // was written: the next run records nothing more.
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
                                "started", "ended", "status", "signal", "error", "image", "forced", "before", "after",
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
    EXPECT_EQ(recs[2]["signal"], nullptr);
    EXPECT_TRUE(recs[2]["after"].is_null());
    EXPECT_EQ(recs[2]["words"], json::array({"-b", "04:00.0", "write", "-f:second.bin"}));

    struct stat st;
    ASSERT_EQ(stat(b.file("history.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // history: newest last, one line each; -json the records.
    const run_result t = b.run({"history"});
    EXPECT_EQ(t.status, 0);
    const std::vector<std::string> lines = lines_of(t.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("-b 04:00.0 write -f:img.bin  done  1102005SIMA00001/" + std::string(kBoardSn) +
                            "/0C4E29000001 -> 1102005SIMA00001/"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("8136 words  backup " + b.file("backups/")), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find("failed"), std::string::npos);
    const json doc = json::parse(b.run({"-b", "all", "-json", "history"}).out);
    EXPECT_EQ(doc["status"], 0);
    EXPECT_EQ(doc["records"], json(recs));
    EXPECT_EQ(json::parse(b.run({"-b", "05:00.0", "-json", "history"}).out)["records"], json::array());

    // A malformed line is skipped with its number; the file stays as it is.
    const std::string before = read_text(b.file("history.jsonl"));
    write_text(b.file("history.jsonl"), before + "not json\n");
    const run_result m = b.run({"history"});
    EXPECT_EQ(lines_of(m.out).size(), 3u);
    EXPECT_NE(m.err.find("history.jsonl, line 4: not a history record; skipped"), std::string::npos) << m.err;
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

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<json> interrupted_of(const board& b) {
    std::vector<json> out;
    for (const json& r : records_of(b))
        if (r["outcome"] == "interrupted")
            out.push_back(r);
    return out;
}

// A signal deferred through the change: the change finished, and the run's
// exit status and signal are what its record and the metrics show.
TEST(history, a_signalled_change_records_its_status_and_signal) {
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-f:img.bin"}, {"--raise", "TERM:5"}).status, 143);
    const std::vector<json> recs = records_of(b);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0]["outcome"], "done");
    EXPECT_EQ(recs[0]["status"], 143);
    EXPECT_EQ(recs[0]["signal"], "SIGTERM");
    ASSERT_EQ(b.run({"-b", "04:00.0", "vpd", "-prometheus", "m.prom"}).status, 0);
    const std::string text = read_text(b.file("m.prom"));
    EXPECT_NE(text.find("romwright_last_change_status{address=\"0000:04:00.0\"} 143\n"), std::string::npos) << text;
}

// A change that did not finish is recorded once: by itself when it failed
// (its journal then says so), else by the next run that finds its journal,
// keyed by the journal's own id, with the command line as it was given.
TEST(history, a_change_left_unfinished_is_recorded_once) {
    {
        SCOPED_TRACE("failed, its journal left standing");
        board b;
        EXPECT_EQ(b.run({"-b", "04:00.0", "clearvpd"}, {"--stall", "status"}).status, 1);
        ASSERT_TRUE(exists(b.journal()));
        EXPECT_EQ(b.run({"-b", "04:00.0", "vpd"}).status, 1);  // the journal stands
        const std::vector<json> recs = records_of(b);
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0]["outcome"], "failed");
    }
    {
        SCOPED_TRACE("two power cuts in the same second");
        board b;
        write_file(b.file("my img.bin"), changed_full_image());
        for (int cut = 0; cut < 2; ++cut) {
            EXPECT_EQ(b.run({"-b", "04:00.0", "write", "-f:my img.bin"}, {"--power-loss", "5"}).status, 137);
            EXPECT_EQ(b.run({"-b", "04:00.0", "vpd"}).status, 1);
            EXPECT_EQ(b.run({"-b", "04:00.0", "vpd"}).status, 1);
            const std::vector<json> cuts = interrupted_of(b);
            ASSERT_EQ(cuts.size(), static_cast<size_t>(cut + 1));
            // Putting back the backup clears the journal.
            ASSERT_EQ(b.run({"-b", "04:00.0", "restore", cuts.back()["backup"].get<std::string>()}).status, 0);
            ASSERT_FALSE(exists(b.journal()));
        }
        const std::vector<json> cuts = interrupted_of(b);
        ASSERT_EQ(cuts.size(), 2u);
        EXPECT_EQ(cuts[0]["started"], cuts[1]["started"]);
        EXPECT_NE(cuts[0]["id"], cuts[1]["id"]);
        for (const json& r : cuts)
            EXPECT_EQ(r["words"], json::array({"-b", "04:00.0", "write", "-f:my img.bin"}));
    }
    {
        SCOPED_TRACE("a journal without an id");
        board b;
        write_text(b.journal(), "{\"adapter\": \"0000:04:00.0\", \"command\": \"write -f:old.bin\", \"time\": 1800000000}\n");
        EXPECT_EQ(b.run({"-b", "04:00.0", "vpd"}).status, 1);
        EXPECT_EQ(b.run({"-b", "04:00.0", "vpd"}).status, 1);
        const std::vector<json> cuts = interrupted_of(b);
        ASSERT_EQ(cuts.size(), 1u);
        EXPECT_EQ(cuts[0]["id"], "interrupted-0000:04:00.0-1800000000");
        EXPECT_EQ(cuts[0]["words"], json::array({"write", "-f:old.bin"}));
    }
}

// Whatever stands in the history file's place, every run ends at once:
// history refuses what is no regular file (status 1, never an empty list),
// skips a damaged line with a warning in text and JSON alike, a change
// only warns that its record was not written, and the metrics leave the
// last changes out.
TEST(history, the_history_file_is_never_followed_or_waited_for) {
    const bool root = geteuid() == 0;
    const std::string good = "{\"adapter\": \"0000:04:00.0\", \"outcome\": \"done\", \"status\": 0, "
                             "\"ended\": \"2027-01-15T08:00:00Z\"}\n";
    struct place_case {
        const char* what;
        bool meaningful;
        void (*make)(const board& b, const std::string& good);
        const char* refusal;  // the reason history and the append give; nullptr: the file is read
        const char* skipped;  // history's warning for a line it skips; nullptr: none
    } cases[] = {
        {"a link to a history", true,
         [](const board& b, const std::string& good) {
             write_text(b.file("elsewhere"), good);
             ASSERT_EQ(symlink("elsewhere", b.file("history.jsonl").c_str()), 0);
         },
         "a symbolic link is in its place", nullptr},
        {"a dangling link", true,
         [](const board& b, const std::string&) { ASSERT_EQ(symlink("nowhere", b.file("history.jsonl").c_str()), 0); },
         "a symbolic link is in its place", nullptr},
        {"a FIFO", true,
         [](const board& b, const std::string&) { ASSERT_EQ(mkfifo(b.file("history.jsonl").c_str(), 0600), 0); },
         "a FIFO is in its place", nullptr},
        {"a folder", true,
         [](const board& b, const std::string&) { ASSERT_EQ(mkdir(b.file("history.jsonl").c_str(), 0700), 0); },
         "a folder is in its place", nullptr},
        {"a link to /dev/zero", true,
         [](const board& b, const std::string&) { ASSERT_EQ(symlink("/dev/zero", b.file("history.jsonl").c_str()), 0); },
         "a symbolic link is in its place", nullptr},
        {"a device like /dev/zero", root,
         [](const board& b, const std::string&) {
             ASSERT_EQ(mknod(b.file("history.jsonl").c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
         },
         "a character device is in its place", nullptr},
        {"an unreadable file", !root,
         [](const board& b, const std::string& good) {
             write_text(b.file("history.jsonl"), good);
             ASSERT_EQ(chmod(b.file("history.jsonl").c_str(), 0), 0);
         },
         "Permission denied", nullptr},
        {"a huge line", true,
         [](const board& b, const std::string& good) {
             write_text(b.file("history.jsonl"), good + std::string(HISTORY_LINE_MAX + 1, '{') + "\n");
         },
         nullptr, "history.jsonl, line 2: longer than 1048576 bytes, not a history record; skipped"},
        {"a damaged record", true,
         [](const board& b, const std::string& good) {
             write_text(b.file("history.jsonl"),
                        good + "{\"adapter\": \"0000:04:00.0\", \"before\": {\"identity\": \"x\"}}\n");
         },
         nullptr, "history.jsonl, line 2: a damaged history record (before.identity is not an object); skipped"},
    };
    const run_time_limit limit(30);
    for (const place_case& c : cases) {
        if (!c.meaningful)
            continue;
        SCOPED_TRACE(c.what);
        board b;
        c.make(b, good);
        write_file(b.file("img.bin"), changed_full_image());

        const run_result t = b.run({"history"});
        const json doc = json::parse(b.run({"-json", "history"}).out);
        const run_result m = b.run({"-b", "04:00.0", "vpd", "-prometheus", "m.prom"});
        const run_result w = b.run({"-b", "04:00.0", "-json", "write", "-f:img.bin"});
        for (const run_result* r : {&t, &m, &w})
            ASSERT_FALSE(r->signaled) << r->err;
        const json wdoc = json::parse(w.out);
        EXPECT_EQ(w.status, 0) << w.err;
        const std::string prom = read_text(b.file("m.prom"));
        if (c.refusal) {
            EXPECT_EQ(t.status, 1);
            EXPECT_EQ(t.out.rfind("ERROR: the history file " + b.file("history.jsonl") + " cannot be read: ", 0), 0u)
                << t.out;
            EXPECT_NE(t.out.find(c.refusal), std::string::npos) << t.out;
            EXPECT_EQ(doc["status"], 1);
            EXPECT_FALSE(doc.contains("records"));
            EXPECT_NE(doc["error"].get<std::string>().find(c.refusal), std::string::npos);
            EXPECT_NE(m.err.find(c.refusal), std::string::npos) << m.err;
            EXPECT_EQ(prom.find("romwright_last_change"), std::string::npos) << prom;
            ASSERT_TRUE(wdoc.contains("warnings"));
            const std::string warning = wdoc["warnings"][0];
            EXPECT_NE(warning.find("the history record was not written to " + b.file("history.jsonl") + " (open: "),
                      std::string::npos)
                << warning;
            EXPECT_NE(warning.find(c.refusal), std::string::npos) << warning;
        } else {
            EXPECT_EQ(t.status, 0);
            EXPECT_EQ(lines_of(t.out).size(), 1u) << t.out;
            EXPECT_NE(t.err.find(c.skipped), std::string::npos) << t.err;
            EXPECT_EQ(doc["status"], 0);
            EXPECT_EQ(doc["records"].size(), 1u);
            ASSERT_EQ(doc["warnings"].size(), 1u);
            EXPECT_NE(doc["warnings"][0].get<std::string>().find(c.skipped), std::string::npos);
            EXPECT_NE(prom.find("romwright_last_change_status{address=\"0000:04:00.0\"} 0\n"), std::string::npos);
            EXPECT_FALSE(wdoc.contains("warnings")) << wdoc["warnings"];
            EXPECT_EQ(lines_of(read_text(b.file("history.jsonl"))).size(), 3u);  // the change's record added
        }
        // Nothing written behind a link.
        EXPECT_FALSE(exists(b.file("nowhere")));
        if (exists(b.file("elsewhere"))) {
            EXPECT_EQ(read_text(b.file("elsewhere")), good);
        }
    }
}

}  // namespace
