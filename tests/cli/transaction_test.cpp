// Changes as planned transactions: power cuts found and undone, two runs
// on one image file, the image file given back on every failure, -plan,
// repair and the identity taken only from agreeing copies.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string journal_of(const board& b) { return b.file("romwright-0000:04:00.journal"); }

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

// The restore command a note names: "romwright -b ADDR restore PATH".
std::vector<std::string> named_restore(const std::string& err) {
    const std::string head = "to put back what the EEPROM held before it: romwright ";
    const size_t at = err.find(head);
    if (at == std::string::npos)
        return {};
    std::string line = err.substr(at + head.size());
    line = line.substr(0, line.find('\n'));
    std::vector<std::string> words;
    for (size_t p = 0, sp; p < line.size(); p = sp + 1) {
        sp = line.find(' ', p);
        if (sp == std::string::npos)
            sp = line.size();
        words.push_back(line.substr(p, sp - p));
    }
    return words;
}

// A board whose copies are each changed in one byte of the init region and
// of the area behind the copies, so that every changing command has words
// to write everywhere.
struct walk_case {
    const char* name;
    std::vector<std::string> words;
    std::function<void(board&)> prepare;
};

TEST(transaction, a_power_cut_anywhere_is_named_by_the_next_run_and_undone_by_the_restore_it_names) {
    std::vector<uint8_t> image = sample_board();
    std::memset(&image[0x100], 0x5A, 64);
    std::memset(&image[0x6000], 0xA5, 64);
    auto with_image = [image](board& b) { write_file(b.file("img.bin"), image); };
    auto with_backup = [](board& b) { write_file(b.file("saved.bin"), changed_full_image()); };
    auto damaged = [](board& b) {
        std::vector<uint8_t> e = b.contents();
        for (uint32_t c : {0x0400u, 0x1000u, 0x3800u})
            e[c + 70] ^= 0x01;  // three faulty copies; eleven good ones agree
        write_file(b.eeprom(), e);
    };
    const walk_case cases[] = {
        {"write -f", {"write", "-f:img.bin"}, with_image},
        {"write -f -changed", {"write", "-f:img.bin", "-changed"}, with_image},
        {"restore", {"restore", "saved.bin"}, with_backup},
        {"clearinit", {"clearinit"}, nullptr},
        {"clearvpd", {"clearvpd"}, nullptr},
        {"repair", {"repair"}, damaged},
    };
    for (const walk_case& c : cases) {
        SCOPED_TRACE(c.name);
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
            EXPECT_FALSE(exists(journal_of(b)));
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
        for (const uint32_t n : cuts) {
            SCOPED_TRACE("power cut after word " + std::to_string(n));
            board b;
            if (c.prepare)
                c.prepare(b);
            const std::vector<uint8_t> before = b.contents();
            const run_result cut = b.run(words, {"--power-loss", std::to_string(n), "--write-cycle-ms", "0"});
            ASSERT_EQ(cut.status, 137);
            ASSERT_TRUE(exists(journal_of(b)));

            const run_result next = b.run({"-b", "04:00.0", "vpd"});
            EXPECT_EQ(next.status, 1);
            EXPECT_NE(next.err.find("may be half-written: `" + c.words[0]), std::string::npos) << next.err;
            const std::vector<std::string> restore = named_restore(next.err);
            ASSERT_EQ(restore.size(), 4u) << next.err;
            EXPECT_EQ(restore[1], "0000:04:00.0");

            const run_result back = b.run(restore);
            EXPECT_EQ(back.status, 0) << back.out << back.err;
            std::vector<uint8_t> restored = b.contents();
            EXPECT_EQ(restored, before);
            EXPECT_FALSE(exists(journal_of(b)));
        }
    }
}

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
                ROMWRIGHT_SIM_PATH, {"--eeprom", boards[i]->eeprom(), "--write-cycle-ms", "0.001", "--", "-b", "04:00.0",
                                     "-nobackup", "-changed", "write", "-f:" + image});
            pids[i] = fork();
            ASSERT_GE(pids[i], 0);
            if (pids[i] == 0) {
                const int null = ::open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                exec_words(w);
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

// Every way a write can fail gives the image file its bytes back; the
// journal stays exactly when EEPROM words changed.
TEST(transaction, every_failure_gives_the_image_file_its_bytes_back) {
    struct failure_case {
        const char* what;
        std::vector<std::string> words, sim_opts;
        std::function<void(board&)> prepare;
        const char* message;  // in the output
        bool words_changed;
    };
    const std::vector<std::string> full = {"-b", "04:00.0", "write", "-f:img.bin"};
    std::vector<std::string> changed = full;
    changed.push_back("-changed");  // the first word written differs from the EEPROM's
    const failure_case cases[] = {
        {"read-back", changed, {"--write-protect"}, nullptr, "reads back 0x", false},
        {"timeout", changed, {"--stall", "status"}, nullptr, "still reported busy 2 seconds", true},
        {"run time", full, {"--write-cycle-ms", "0"}, nullptr, "Run time too short!", true},
        {"untrusted identity", full, {},
         [](board& b) {
             std::vector<uint8_t> e = b.contents();
             e[0x800 + 70] ^= 0x01;
             write_file(b.eeprom(), e);
         },
         "cannot be trusted", false},
        {"blank board", full, {"--blank"}, [](board& b) { unlink(b.eeprom().c_str()); }, "is blank or broken", false},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        if (c.prepare)
            c.prepare(b);
        write_file(b.file("img.bin"), changed_full_image());
        const run_result r = b.run(c.words, c.sim_opts);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
        EXPECT_EQ(exists(journal_of(b)), c.words_changed) << r.out << r.err;
    }
}

// -plan shows the change and makes none: no register write beyond the
// reads, no backup, no journal, no change of the image file.
TEST(transaction, plan_changes_nothing_and_says_what_would_be_written) {
    const std::vector<std::vector<std::string>> commands = {
        {"write", "-f:img.bin"}, {"write", "-f:img.bin", "-changed"}, {"restore", "img.bin"},
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
        EXPECT_FALSE(exists(journal_of(b)));
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
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const std::vector<uint8_t> bytes = sample_board();
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        const bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        _exit(ok ? 0 : 1);
    }
    r = b.run({"-b", "04:00.0", "restore", "fifo"});
    int st = 0;
    waitpid(writer, &st, 0);
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

}  // namespace
