// Changes as planned transactions: power cuts found and undone, two runs
// on one image file, -plan, repair and the identity taken only from
// agreeing copies (what a failed change leaves: safe_write_test.cpp).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Under an emulator every run costs far more: the walks take fewer points.
bool emulated() {
    const char* emu = std::getenv("ROMWRIGHT_SIM_EMULATOR");
    return emu && *emu;
}

// The number the simulator's --stats line gives for EEPROM word writes.
uint32_t words_written(const run_result& r) {
    const size_t at = r.err.find("EEPROM words written ");
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(r.err.substr(at + 21)));
}

// The words of a command line as a POSIX shell splits it: blanks part
// words, single quotes keep everything up to the next one, a backslash
// outside them keeps the next character.
std::vector<std::string> shell_words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ') {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else if (c == '\'') {
            const size_t end = line.find('\'', i + 1);
            if (end == std::string::npos)
                return {};  // an unclosed quote: no command
            word += line.substr(i + 1, end - i - 1);
            i = end;
            in_word = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            in_word = true;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word)
        words.push_back(word);
    return words;
}

// The restore command a note names: "romwright -b ADDR restore 'PATH'".
std::vector<std::string> named_restore(const std::string& err) {
    const std::string head = "to put back what the EEPROM held before it: romwright ";
    const size_t at = err.find(head);
    if (at == std::string::npos)
        return {};
    const std::string line = err.substr(at + head.size());
    return shell_words(line.substr(0, line.find('\n')));
}

// A board whose copies are each changed in one byte of the init region and
// of the area behind the copies, so that every changing command has words
// to write everywhere.
struct walk_case {
    const char* name;
    std::vector<std::string> words;
    std::function<void(board&)> prepare;
};

// After a cut half-way, while the journal stands: write of another image and repair
// (both would take the identity from the half-written copies) are refused,
// -plan too; a change allowed meanwhile leaves the journal standing, and
// the backup it saves, the newest (named _interrupted), is refused by
// restore.  Nothing changes the EEPROM.
void nothing_makes_the_cut_permanent(const board& b, bool cut_repair) {
    const std::vector<uint8_t> cut = b.contents();
    std::vector<uint8_t> other = changed_full_image();
    other[0x200] ^= 0xFF;  // an image no command of the walk writes
    write_file(b.file("other.bin"), other);
    std::vector<std::vector<std::string>> refused = {{"write", "-f:other.bin"}, {"-plan", "write", "-f:other.bin"}};
    if (!cut_repair)  // a repair would finish the cut one
        refused.push_back({"repair"});
    for (std::vector<std::string> words : refused) {
        SCOPED_TRACE(words.back());
        words.insert(words.begin(), {"-b", "04:00.0"});
        const run_result r = b.run(words);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("did not finish"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Its journal: " + b.journal()), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("restore '" + b.file("backups/")), std::string::npos) << r.out;
    }
    write_file(b.file("init.bin"), slice(cut, 0, 0x400));
    EXPECT_EQ(b.run({"-b", "04:00.0", "-changed", "write", "-finit:init.bin"}).status, 0);
    std::string interrupted;
    for (const std::string& name : files_in(b.file("backups")))
        if (name.find("_interrupted") != std::string::npos)
            interrupted = b.file("backups/" + name);
    ASSERT_FALSE(interrupted.empty());
    const run_result r = b.run({"-b", "04:00.0", "restore", interrupted});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("its name holds _interrupted"), std::string::npos) << r.out;
    EXPECT_EQ(b.contents(), cut);
    EXPECT_TRUE(exists(b.journal()));
}

// One case per changing command: GoogleTest's shards spread them.
std::vector<walk_case> power_cut_cases() {
    std::vector<uint8_t> image = sample_board();
    std::memset(&image[0x100], 0x5A, 64);
    std::memset(&image[0x6000], 0xA5, 64);
    auto with_image = [image](board& b) { write_file(b.file("img.bin"), image); };
    auto with_backup = [](board& b) { write_file(b.file("saved.bin"), with_board_identity(changed_full_image())); };
    auto damaged = [](board& b) {
        std::vector<uint8_t> e = b.contents();
        for (uint32_t c : {0x0400u, 0x1000u, 0x3800u})
            e[c + 70] ^= 0x01;  // three faulty copies; eleven good ones agree
        write_file(b.eeprom(), e);
    };
    return {
        {"write_f", {"write", "-f:img.bin"}, with_image},
        {"write_f_changed", {"write", "-f:img.bin", "-changed"}, with_image},
        {"restore", {"restore", "saved.bin"}, with_backup},
        {"clearinit", {"clearinit"}, nullptr},
        {"clearvpd", {"clearvpd"}, nullptr},
        {"repair", {"repair"}, damaged},
    };
}

class power_cut : public ::testing::TestWithParam<walk_case> {};

TEST_P(power_cut, anywhere_is_named_by_the_next_run_and_undone_by_the_restore_it_names) {
    const walk_case& c = GetParam();
    {
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        // How many words the whole command writes.
        uint32_t total = 0;
        {
            board b;
            if (c.prepare)
                c.prepare(b);
            const run_result full = b.run(words, {"--stats"});
            ASSERT_EQ(full.status, 0) << full.out << full.err;
            total = words_written(full);
            ASSERT_GT(total, 0u);
            EXPECT_FALSE(exists(b.journal()));
        }
        // The first and the last word, the first words past each region
        // boundary the command crosses (every 256 words is one VPD copy),
        // and about thirty spread over the rest.
        std::set<uint32_t> cuts = {1, total};
        for (uint32_t n = 257; n < total; n += 256)
            cuts.insert(n);
        const uint32_t step = std::max<uint32_t>(1, total / (emulated() ? 6 : 30));
        for (uint32_t n = 1 + step / 2; n < total; n += step)
            cuts.insert(n);
        if (emulated()) {
            std::set<uint32_t> few = {1, total};
            for (uint32_t n : cuts)
                if (few.size() < 8)
                    few.insert(n);
            cuts = few;
        }
        const uint32_t half_way = *std::next(cuts.begin(), static_cast<long>(cuts.size() / 2));
        for (const uint32_t n : cuts) {
            SCOPED_TRACE("power cut after word " + std::to_string(n));
            board b;
            if (c.prepare)
                c.prepare(b);
            const std::vector<uint8_t> before = b.contents();
            const run_result cut = b.run(words, {"--power-loss", std::to_string(n), "--write-cycle-ms", "0"});
            ASSERT_EQ(cut.status, 137);
            ASSERT_TRUE(exists(b.journal()));

            const run_result next = b.run({"-b", "04:00.0", "vpd"});
            EXPECT_EQ(next.status, 1);
            EXPECT_NE(next.err.find("may be half-written: `" + c.words[0]), std::string::npos) << next.err;
            const std::vector<std::string> restore = named_restore(next.err);
            ASSERT_EQ(restore.size(), 4u) << next.err;
            EXPECT_EQ(restore[1], "0000:04:00.0");
            if (n == half_way)
                nothing_makes_the_cut_permanent(b, c.words[0] == "repair");

            const run_result back = b.run(restore);
            EXPECT_EQ(back.status, 0) << back.out << back.err;
            std::vector<uint8_t> restored = b.contents();
            EXPECT_EQ(restored, before);
            EXPECT_FALSE(exists(b.journal()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(transaction, power_cut, ::testing::ValuesIn(power_cut_cases()),
                         [](const ::testing::TestParamInfo<walk_case>& i) { return std::string(i.param.name); });

// Two runs of one image file on two boards at once: each board keeps its
// own identity; a run may wait for the file, never flash the other's.
TEST(transaction, two_writes_of_one_image_file_never_give_two_boards_one_identity) {
    board one, two;
    std::vector<uint8_t> other = sample_board();
    for (uint32_t c = 0; c < kCopies; ++c)
        set_identity(&other[0x400 + 0x400 * c], kOtherPn, kOtherSn, kOtherMac);
    write_file(two.eeprom(), other);
    const std::string image = one.file("img.bin");  // one file for both
    write_file(image, changed_full_image());
    const int trials = emulated() ? 10 : 200;
    for (int t = 0; t < trials; ++t) {
        SCOPED_TRACE(t);
        pid_t pids[2];
        const board* boards[2] = {&one, &two};
        for (int i = 0; i < 2; ++i) {
            std::vector<std::string> w = program_words(
                sim_path(), {"--eeprom", boards[i]->eeprom(), "--write-cycle-ms", "0.001", "--", "-b", "04:00.0",
                                     "-nobackup", "-changed", "write", "-f:" + image});
            std::vector<char*> argv = argv_of(w);
            pids[i] = fork();
            ASSERT_GE(pids[i], 0);
            if (pids[i] == 0) {
                const int null = ::open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                exec_argv(argv);
            }
        }
        for (pid_t pid : pids) {
            int st = 0;
            ASSERT_EQ(waitpid(pid, &st, 0), pid);
            ASSERT_TRUE(WIFEXITED(st));
            EXPECT_EQ(WEXITSTATUS(st), 0);
        }
        const std::vector<uint8_t> a = one.contents(), b = two.contents();
        for (uint32_t c = 0; c < kCopies; ++c) {
            const uint32_t at = 0x400 + 0x400 * c;
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(&a[at + 63]), 24), kBoardSn) << "copy " << c;
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(&b[at + 63]), 24), kOtherSn) << "copy " << c;
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(&a[at + 90]), 12), kBoardMac) << "copy " << c;
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(&b[at + 90]), 12), kOtherMac) << "copy " << c;
        }
    }
}

// -plan shows the change and makes none: no register write beyond the
// reads, no backup, no journal, no change of the image file.
TEST(transaction, plan_changes_nothing_and_says_what_would_be_written) {
    const std::vector<std::vector<std::string>> commands = {
        {"write", "-f:img.bin"}, {"write", "-f:img.bin", "-changed"}, {"restore", "img.bin", "-force-identity"},
        {"clearinit"},           {"clearvpd"},                       {"repair"},
    };
    for (const std::vector<std::string>& c : commands) {
        SCOPED_TRACE(c[0] + " " + (c.size() > 1 ? c[1] : ""));
        board b;
        write_file(b.file("img.bin"), changed_full_image());
        std::vector<std::string> words = {"-b", "04:00.0", "-plan"};
        words.insert(words.end(), c.begin(), c.end());
        const run_result r = b.run(words);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.rfind("Plan of " + c[0] + " on 0000:04:00.0; nothing was changed:\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("projected hardware time"), std::string::npos);
        EXPECT_EQ(b.contents(), sample_board());
        EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
        EXPECT_FALSE(exists(b.file("backups")));
        EXPECT_FALSE(exists(b.journal()));
        const std::string trace = b.trace_text();
        EXPECT_EQ(trace.find("W 0x07b00"), std::string::npos);  // no hold
        EXPECT_EQ(trace.find("W 0x19428"), std::string::npos);  // no chip reset
        EXPECT_EQ(trace.find("W 0x03060 0x4f0000d4\nW 0x03064"), std::string::npos);  // no EEPROM data written
        EXPECT_EQ(lines_of(trace).back(), "W 0x03018 0x01f40c35");  // the VPD timer as it was found
    }
    // A full write of a changed image: every word, with its regions.
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    run_result r = b.run({"-b", "04:00.0", "-plan", "-json", "write", "-f:img.bin", "-changed"});
    EXPECT_EQ(r.status, 0);
    const nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["backup"], nullptr);
    const uint32_t words = doc["plan"]["words_to_write"];
    EXPECT_GT(words, 0u);
    EXPECT_LT(words, 200u);  // only the differing words
    // Refused: the status and message of the command itself.
    r = b.run({"-b", "04:00.0", "-plan", "write", "-f:img.bin"}, {"--blank", "--eeprom", b.file("blank.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is blank or broken"), std::string::npos) << r.out;
}

// One flipped byte in the copy the identity is read from: write refuses,
// repair rewrites that copy from the agreeing good ones, and the write
// then carries the true identity.
TEST(transaction, repair_puts_bad_copies_right_from_the_agreeing_good_ones) {
    board b;
    std::vector<uint8_t> e = b.contents();
    e[0x800 + 63 + 5] ^= 0x01;  // the serial number of copy 1: its checksum now bad
    std::vector<uint8_t> blanked = e;
    std::fill(blanked.begin() + 0x2000, blanked.begin() + 0x2400, 0xFF);  // copy 7 blank
    write_file(b.eeprom(), blanked);
    write_file(b.file("img.bin"), changed_full_image());

    run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("romwright -b 0000:04:00.0 repair\n"), std::string::npos) << r.out;
    EXPECT_EQ(b.contents(), blanked);

    r = b.run({"-b", "04:00.0", "repair"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Copy 1 at 0x0800 (faulty) rewritten from copy 0 at 0x0400\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Copy 7 at 0x2000 (blank) rewritten from copy 0 at 0x0400\n"), std::string::npos) << r.out;
    std::vector<uint8_t> want = sample_board();
    EXPECT_EQ(b.contents(), want);
    r = b.run({"-b", "04:00.0", "vpd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Summary: 14 of 14 copies good"), std::string::npos);

    // One byte wrong: one word written, and counted as one.
    std::vector<uint8_t> one_byte = sample_board();
    one_byte[0xC00 + 44] ^= 0x01;  // the engineering change of copy 2: its checksum now bad
    write_file(b.eeprom(), one_byte);
    r = b.run({"-b", "04:00.0", "-nobackup", "repair"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines_of(r.out).back(), "Repaired 1 of 14 VPD copies: 1 word written");
    EXPECT_EQ(b.contents(), want);

    // No strict majority among the good copies: refused, nothing changed.
    std::vector<uint8_t> split = sample_board();
    for (uint32_t c = 0; c < kCopies; c += 2)
        set_identity(&split[0x400 + 0x400 * c], kOtherPn, kOtherSn, kOtherMac);
    write_file(b.eeprom(), split);
    r = b.run({"-b", "04:00.0", "repair"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("restore FILE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("romwright-vpd set"), std::string::npos) << r.out;
    EXPECT_EQ(b.contents(), split);
}

// Image files the user protected are read, never changed; pipes are read
// once; a folder is a file that cannot be opened.
TEST(transaction, protected_images_pipes_and_folders) {
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    ASSERT_EQ(chmod(b.file("img.bin").c_str(), 0444), 0);
    run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.err.find("img.bin has no write permission bits, so it was left as it is"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
    EXPECT_EQ(b.contents(), flashed(with_board_identity(changed_full_image()), sample_board()));

    // restore from a FIFO written once: checked and flashed from one read.
    const std::string fifo = b.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<uint8_t> bytes = sample_board();  // the child allocates nothing
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        const bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        _exit(ok ? 0 : 1);
    }
    r = b.run({"-b", "04:00.0", "restore", "fifo"});
    // A run that never opened the FIFO must not leave the writer blocked
    // in its open, and this test waiting for it.
    const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    int st = 0;
    waitpid(writer, &st, 0);
    if (release >= 0)
        close(release);
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<uint8_t> want = sample_board();
    const std::vector<uint8_t> now = b.contents();
    std::copy(now.begin() + 0x7FFC, now.end(), want.begin() + 0x7FFC);  // the status word is never written
    EXPECT_EQ(now, want);

    r = b.run({"-b", "04:00.0", "restore", "."});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Unable to open file:.\n");
}

// Bytes of the board reach the terminal escaped; printable ones as they are.
TEST(transaction, board_bytes_are_shown_escaped) {
    board b;
    std::vector<uint8_t> e = b.contents();
    const char pn[] = "\x1b[2J\x1b]0;x\x07\0AB";
    for (uint32_t c = 0; c < kCopies; ++c)
        std::memcpy(&e[0x400 + 0x400 * c + 25], pn, 12);
    write_file(b.eeprom(), e);
    write_file(b.file("i.bin"), std::vector<uint8_t>(e.begin(), e.begin() + 0x400));
    const run_result r = b.run({"-b", "04:00.0", "verify", "-finit:i.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "Using Part number(from Board)\t:\\x1B[2J\\x1B]0;x\\x07\\x00A0001");
}

// A journal stands until the EEPROM is in a known state: a change that
// takes no identity may run meanwhile and leaves it standing; the
// interrupted write finished (the same image, -changed or not) clears it.
TEST(transaction, a_journal_stands_until_the_interrupted_command_is_finished) {
    board b;
    const std::vector<uint8_t> image = changed_full_image();
    write_file(b.file("img.bin"), image);
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-f:img.bin"}, {"--power-loss", "3000", "--write-cycle-ms", "0"}).status,
              137);
    const std::vector<uint8_t> cut = b.contents();
    run_result r = b.run({"-b", "04:00.0", "-plan", "repair"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("did not finish: `write -f:img.bin`"), std::string::npos) << r.out;
    write_file(b.file("init.bin"), slice(cut, 0, 0x400));
    EXPECT_EQ(b.run({"-b", "04:00.0", "write", "-finit:init.bin"}).status, 0);
    EXPECT_TRUE(exists(b.journal()));
    EXPECT_EQ(b.contents(), cut);
    r = b.run({"-b", "04:00.0", "-changed", "write", "-f:img.bin"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(exists(b.journal()));
    EXPECT_EQ(b.contents(), flashed(with_board_identity(image), sample_board()));
}

// restore puts back only a backup that can undo a change: the one the
// journal names as it was saved, and another board's identity only with
// -force-identity.
TEST(transaction, restore_refuses_a_changed_backup_and_another_boards_identity) {
    board b;
    ASSERT_EQ(b.run({"-b", "04:00.0", "clearinit"}, {"--power-loss", "10", "--write-cycle-ms", "0"}).status, 137);
    const std::vector<uint8_t> cut = b.contents();
    const std::vector<std::string> restore = named_restore(b.run({"-b", "04:00.0", "vpd"}).err);
    ASSERT_EQ(restore.size(), 4u);
    std::vector<uint8_t> saved = read_file(restore[3]);
    saved[0x100] ^= 0x01;
    ASSERT_EQ(chmod(restore[3].c_str(), 0600), 0);
    write_file(restore[3], saved);
    run_result r = b.run(restore);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no longer holds what it held when `clearinit`"), std::string::npos) << r.out;
    EXPECT_EQ(b.contents(), cut);

    write_file(b.file("other.bin"), changed_full_image());
    r = b.run({"-b", "04:00.0", "restore", "other.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("holds the identity of another board (serial number " + std::string(kOtherSn)),
              std::string::npos)
        << r.out;
    EXPECT_EQ(b.contents(), cut);
    r = b.run({"-b", "04:00.0", "restore", "other.bin", "-force-identity"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(b.contents(), flashed(changed_full_image(), cut));
    EXPECT_FALSE(exists(b.journal()));  // a whole image restored: a known state

    // A forced restore cut once the copies hold the other identity: the
    // backup the journal names puts this board's own back.
    board c;
    write_file(c.file("other.bin"), changed_full_image());
    ASSERT_EQ(c.run({"-b", "04:00.0", "-force-identity", "restore", "other.bin"},
                    {"--power-loss", "4000", "--write-cycle-ms", "0"})
                  .status,
              137);
    r = c.run(named_restore(c.run({"-b", "04:00.0", "vpd"}).err));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(c.contents(), sample_board());
}

// An image whose copies lack an identity keyword where the board's copies
// carry it would give the board another identity: refused, -plan too, and
// with -force-image, which lets an image whose copies differ through.
TEST(transaction, write_never_changes_the_boards_identity) {
    struct identity_case {
        const char* what;
        uint32_t keyword_at;  // the keyword's second letter, in the copies it is renamed in
        uint32_t first_copy, last_copy;
        bool force_image;  // the copies differ: the image is not whole
        const char* says;
    };
    const identity_case cases[] = {
        {"NA renamed in every copy", 88, 0, kCopies - 1, false,
         "copy 0 at 0x0400 would hold MAC address (none: no NA keyword)"},
        {"SN renamed in copy 5", 61, 5, 5, true, "copy 5 at 0x1800 would hold serial number (none: no SN keyword)"},
    };
    for (const identity_case& c : cases)
        for (const bool plan : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (plan ? " -plan" : ""));
            board b;
            std::vector<uint8_t> image = changed_full_image();
            for (uint32_t i = c.first_copy; i <= c.last_copy; ++i) {
                uint8_t* copy = &image[0x400 + 0x400 * i];
                copy[c.keyword_at] = 'X';
                set_identity(copy, kOtherPn, kOtherSn, kOtherMac);  // its checksum good again
            }
            write_file(b.file("img.bin"), image);
            std::vector<std::string> words = {"-b", "04:00.0", "write", "-f:img.bin"};
            if (plan)
                words.push_back("-plan");
            if (c.force_image)
                words.push_back("-force-image");
            const run_result r = b.run(words);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.out.find("ERROR: writing img.bin would change the board's identity"), std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
            EXPECT_EQ(b.contents(), sample_board());
            EXPECT_EQ(read_file(b.file("img.bin")), image);
        }
}

// The kernel raises SIGXFSZ when a file grows past the size limit: here in
// the middle of a change's first steps (saving the backup, putting the
// identity into the image file).  The change stops with nothing written, no
// journal naming a backup that was never saved, the image file as it was.
TEST(transaction, a_signal_before_the_first_word_leaves_no_journal_and_the_image_file_as_it_was) {
    const std::vector<std::vector<std::string>> cases = {{"clearinit"}, {"-nobackup", "write", "-f:img.bin"}};
    for (const std::vector<std::string>& c : cases) {
        SCOPED_TRACE(c.back());
        board b;
        write_file(b.file("img.bin"), changed_full_image());
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), c.begin(), c.end());
        struct rlimit was;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
        struct rlimit small = was;
        small.rlim_cur = 16384;  // half a backup, half an image
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const run_result r = run_sim({"--eeprom", b.eeprom()}, words, b.file(""));
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &was), 0);
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("File too large"), std::string::npos) << r.out;
        EXPECT_FALSE(exists(b.journal()));
        EXPECT_EQ(b.contents(), sample_board());
        EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
    }

    // A journal naming a backup that is gone while the EEPROM holds what it
    // held before that change (no word of it took) is cleared, with a note.
    board b;
    write_file(b.file("init.bin"), slice(sample_board(), 0, 0x400));
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-finit:init.bin"}, {"--power-loss", "5"}).status, 137);
    for (const std::string& name : files_in(b.file("backups")))
        ASSERT_EQ(unlink(b.file("backups/" + name).c_str()), 0);
    const run_result r = b.run({"-b", "04:00.0", "vpd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("is gone, did not finish, but the EEPROM holds what it held before it: no word of it took; "
                         "its journal was cleared\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(exists(b.journal()));
}

// Opens and closes a FIFO's writing end after five seconds unless it is
// gone first: a run blocked on the FIFO then sees its end instead of
// hanging the test.
class fifo_watchdog {
public:
    explicit fifo_watchdog(const std::string& path)
        : thread_([this, path] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_cv_.wait_for(lock, std::chrono::seconds(5), [this] { return done_; })) {
                  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
                  if (fd >= 0)
                      close(fd);
              }
          }) {}
    ~fifo_watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// Journals and backups live in folders only this user may write and are
// read without following links or blocking: anything else in their place
// is refused at once, with nothing changed.
TEST(transaction, an_untrusted_journal_or_backup_folder_is_refused_at_once) {
    struct place_case {
        const char* what;
        std::function<void(const board&)> spoil;
        const char* command;
        const char* says;
    };
    const place_case cases[] = {
        {"a FIFO", [](const board& b) { ASSERT_EQ(mkfifo(b.journal().c_str(), 0600), 0); }, "vpd",
         "it is not a plain file"},
        {"a huge sparse file",
         [](const board& b) {
             write_text(b.journal(), "");
             ASSERT_EQ(truncate(b.journal().c_str(), 100 << 20), 0);
         },
         "vpd",
         "it holds 104857600 bytes, more than the 65536 it can hold"},
        {"a link to a journal elsewhere",
         [](const board& b) {
             write_text(b.file("planted"), "{\"command\": \"clearvpd\", \"backup\": \"/tmp/x.bin\", \"time\": 1}\n");
             ASSERT_EQ(symlink(b.file("planted").c_str(), b.journal().c_str()), 0);
         },
         "vpd", "it is a symbolic link"},
        {"a journal folder others may write", [](const board& b) { ASSERT_EQ(chmod(b.file("").c_str(), 0770), 0); },
         "vpd", "others may write it (mode 0770)"},
        {"a backup folder others may write",
         [](const board& b) {
             ASSERT_EQ(mkdir(b.file("backups").c_str(), 0700), 0);
             ASSERT_EQ(chmod(b.file("backups").c_str(), 0777), 0);
         },
         "clearinit", "others may write it (mode 0777)"},
    };
    for (const place_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        c.spoil(b);
        if (::testing::Test::HasFatalFailure())
            return;
        const auto start = std::chrono::steady_clock::now();
        run_result r;
        {
            fifo_watchdog watchdog(b.journal());
            r = b.run({"-b", "04:00.0", c.command});
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("cannot be trusted: " + std::string(c.says)), std::string::npos) << r.out << r.err;
        EXPECT_EQ(b.contents(), sample_board());
    }
}

// The restore command a journal names is safe to paste, in the note and in
// the JSON document alike; what a journal says reaches a terminal escaped;
// a -backup name with a control character is refused before anything is
// read.
TEST(transaction, the_named_restore_is_quoted_and_journal_text_escaped) {
    board b;
    const std::string name = b.file("it's a $(backup).bin");
    ASSERT_EQ(b.run({"-b", "04:00.0", "-backup", name, "clearinit"}, {"--power-loss", "10"}).status, 137);
    run_result r = b.run({"-b", "04:00.0", "-json", "vpd"});
    const std::string quoted = "romwright -b 0000:04:00.0 restore '" + b.file("it'\\''s a $(backup).bin'");
    EXPECT_EQ(nlohmann::json::parse(r.out)["interrupted"]["restore"], quoted);
    EXPECT_NE(r.err.find(quoted + "\n"), std::string::npos) << r.err;
    const std::vector<std::string> restore = named_restore(r.err);
    ASSERT_EQ(restore.size(), 4u);
    EXPECT_EQ(restore[3], name);
    EXPECT_EQ(b.run(restore).status, 0);
    EXPECT_EQ(b.contents(), sample_board());

    write_text(b.journal(), "{\"command\": \"clearvpd \\u001b]0;owned\\u0007\", \"time\": 1}\n");
    r = b.run({"-b", "04:00.0", "vpd"});
    EXPECT_NE(r.err.find("`clearvpd \\x1B]0;owned\\x07`, begun 1970-01-01T00:00:01Z"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    ASSERT_EQ(unlink(b.journal().c_str()), 0);

    const std::string trace = b.trace_text();
    r = b.run({"-b", "04:00.0", "-backup", b.file("two\nlines.bin"), "clearinit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("holds a control character"), std::string::npos) << r.out;
    EXPECT_EQ(b.trace_text(), trace);
}

}  // namespace
