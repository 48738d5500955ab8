// Writes that cannot fail silently or lose a board: read-back of every word,
// the board's identity checked before it is carried anywhere, backups before
// every change, restore, and -changed.
#include <sys/stat.h>

#include <dirent.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

const char kDone[] = "Doing full chip reset...Done\n";

std::vector<std::string> backups_in(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What a backup (or read) of the EEPROM holds: its bytes, with the status
// word reading the EEPROM's status (idle, 0).
std::vector<uint8_t> as_read(std::vector<uint8_t> eeprom) {
    std::fill(eeprom.begin() + 0x7FFC, eeprom.end(), 0);
    return eeprom;
}

// EEPROM word writes in a trace: the VPD address dword written with the flag set.
int word_writes(const std::string& trace) {
    int n = 0;
    for (size_t p = 0; (p = trace.find("W 0x03060 0x4f0000d0\nW 0x03064 0x", p)) != std::string::npos; ++p)
        n += trace[p + 33] >= '8';
    return n;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Every command that changes the EEPROM stops at the first word that does
// not read back, names it, releases the microprocessor and resets the chip,
// and leaves the EEPROM and the image file as they were.
TEST(safe_write, a_write_protected_eeprom_fails_every_changing_command) {
    struct protected_case {
        std::vector<std::string> words;
        const char* file;  // the image the command reads, or nullptr
        std::vector<uint8_t> image;
        const char* failing;  // the failing EEPROM address, what it read back and what was written
        int writes;           // word writes up to and including the failing one
    };
    const std::vector<uint8_t> full = changed_full_image();
    const protected_case cases[] = {
        // Words that already hold their value read back right: the first
        // word that differs fails.
        {{"write", "-f:img.bin"}, "img.bin", full, "0x0100 reads back 0x18110a03 after 0xa5a5a5a5", 65},
        {{"write", "-fvpd:vpd.bin"}, "vpd.bin", slice(full, 0x400, 0x8000),
         "0x042c reads back 0x53203041 after 0x53203042", 12},
        {{"write", "-finit:init.bin"}, "init.bin", std::vector<uint8_t>(0x400, 0x11),
         "0x0000 reads back 0x532d5752 after 0x11111111", 1},
        {{"restore", "saved.bin"}, "saved.bin", with_board_identity(full),
         "0x0100 reads back 0x18110a03 after 0xa5a5a5a5", 65},
        {{"clearinit"}, nullptr, {}, "0x0000 reads back 0x532d5752 after 0xffffffff", 1},
        {{"clearvpd"}, nullptr, {}, "0x0400 reads back 0x52001082 after 0xffffffff", 1},
    };
    for (const protected_case& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + (c.words.size() > 1 ? c.words[1] : ""));
        board b;
        if (c.file)
            write_file(b.file(c.file), c.image);
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        run_result r = b.run(words, {"--write-protect"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("ERROR: EEPROM address "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.failing), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("(the EEPROM may be write-protected)\n" + std::string(kDone)), std::string::npos) << r.out;
        EXPECT_TRUE(ends_with(r.out, kDone)) << r.out;
        EXPECT_EQ(word_writes(b.trace_text()), c.writes);  // stopped at the failing word
        EXPECT_EQ(b.contents(), sample_board());
        if (c.file) {
            EXPECT_EQ(read_file(b.file(c.file)), c.image);
        }
    }
}

// A blank or broken identity on the board is never carried into the image
// file or the EEPROM.
TEST(safe_write, a_blank_or_broken_board_identity_is_refused_with_nothing_changed) {
    struct identity_case {
        const char* what;
        void (*spoil)(std::vector<uint8_t>&);
        const char* reason;
    };
    const identity_case cases[] = {
        {"blank copy", [](std::vector<uint8_t>& e) { std::fill(e.begin() + 0x800, e.begin() + 0xC00, 0xFF); },
         "the copy does not begin with the identifier-string tag 0x82 (it holds 0xff); the part number is not "
         "printable text; the serial number is not printable text; the MAC address is not 12 hexadecimal digits"},
        {"MAC with a letter beyond F", [](std::vector<uint8_t>& e) { e[0x800 + 90 + 5] = 'G'; },
         "the MAC address is not 12 hexadecimal digits"},
        {"serial with a control byte", [](std::vector<uint8_t>& e) { e[0x800 + 63] = 0x01; },
         "the serial number is not printable text"},
    };
    for (const identity_case& c : cases) {
        for (const char* arg : {"-f:img.bin", "-fvpd:img.bin"}) {
            SCOPED_TRACE(std::string(c.what) + " " + arg);
            board b;
            std::vector<uint8_t> eeprom = sample_board();
            c.spoil(eeprom);
            write_file(b.eeprom(), eeprom);
            const std::vector<uint8_t> image =
                arg[2] == 'v' ? slice(changed_full_image(), 0x400, 0x8000) : changed_full_image();
            write_file(b.file("img.bin"), image);
            run_result r = b.run({"-b", "04:00.0", "write", arg});
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.out.find(std::string("ERROR: the board's identity in its VPD copy at EEPROM address 0x0800 is "
                                             "blank or broken: ") +
                                 c.reason + ".\n"),
                      std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("romwright -b 0000:04:00.0 restore FILE"), std::string::npos) << r.out;
            EXPECT_EQ(read_file(b.file("img.bin")), image);
            EXPECT_EQ(b.contents(), eeprom);
            EXPECT_EQ(b.trace_text().find("W 0x07b00"), std::string::npos);  // the microprocessor never held
        }
    }
}

TEST(safe_write, an_image_copy_that_cannot_take_the_identity_changes_nothing) {
    board b;
    std::vector<uint8_t> image = changed_full_image();
    image[0x400 * 9 + 104] = 0;  // copy 8 (file offset 0x2400): RV field without its checksum byte
    write_file(b.file("img.bin"), image);
    run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, identity_lines() +
                         "ERROR: img.bin cannot take the board's identity: the VPD copy at file offset 0x2400 (9216) "
                         "has no RV checksum field inside the copy (RV field at offset 102 has no checksum byte); "
                         "nothing was written to the file or the EEPROM\n");
    EXPECT_EQ(read_file(b.file("img.bin")), image);
    EXPECT_EQ(b.contents(), sample_board());
}

// A saved image goes back exactly as it is: the board after clearvpd is the
// board before it, and the file is only read.
TEST(safe_write, restore_after_clearvpd_gives_back_the_exact_eeprom) {
    board b;
    ASSERT_EQ(b.run({"-b", "04:00.0", "read", "saved.bin"}).status, 0);
    ASSERT_EQ(chmod(b.file("saved.bin").c_str(), 0400), 0);
    const std::vector<uint8_t> saved = read_file(b.file("saved.bin"));
    ASSERT_EQ(b.run({"-b", "04:00.0", "clearvpd"}).status, 0);
    ASSERT_NE(b.contents(), sample_board());

    run_result r = b.run({"-b", "04:00.0", "restore", "saved.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 33), "Read 0x8000 bytes from file saved");
    EXPECT_TRUE(ends_with(r.out, "Wrote those bytes to serial eeprom starting at 0x0\n" + std::string(kDone))) << r.out;
    EXPECT_EQ(b.contents(), sample_board());  // the status word is never written: it keeps its bytes
    EXPECT_EQ(read_file(b.file("saved.bin")), saved);
    r = b.run({"-b", "04:00.0", "verify", "-f:saved.bin"});
    EXPECT_EQ(r.status, 0) << r.out;

    // Any other size is refused before the adapter is touched.
    write_file(b.file("short.bin"), slice(saved, 0, 0x7C00));
    const std::string before = b.trace_text();
    r = b.run({"-b", "04:00.0", "restore", "short.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error:  Size of binary file differs from the size of VPD+Init area, expecting a file of size "
                     "32768 bytes\n");
    EXPECT_EQ(b.trace_text(), before);
}

TEST(safe_write, backups_hold_the_eeprom_before_the_change_once) {
    board b;
    const std::string dir = b.file("backups");
    run_result r = b.run({"-b", "04:00.0", "clearinit"});
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> names = backups_in(dir);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z.bin");
    EXPECT_EQ(r.err, "romwright: EEPROM saved as backup " + dir + "/" + names[0] + "\n");
    EXPECT_EQ(read_file(dir + "/" + names[0]), as_read(sample_board()));
    struct stat st;
    ASSERT_EQ(stat((dir + "/" + names[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The EEPROM now differs from the newest backup: a second one, named
    // apart although the simulator's clock shows the same second.
    const std::vector<uint8_t> cleared = b.contents();
    ASSERT_EQ(b.run({"-b", "04:00.0", "clearinit"}).status, 0);
    names = backups_in(dir);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], "0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z.bin");
    EXPECT_EQ(names[0], "0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z-2.bin");
    EXPECT_EQ(read_file(dir + "/" + names[0]), as_read(cleared));
    // Unchanged since that one: no third.
    r = b.run({"-b", "04:00.0", "clearinit"});
    EXPECT_EQ(backups_in(dir).size(), 2u);
    EXPECT_NE(r.err.find("no new backup made"), std::string::npos) << r.err;

    // -nobackup makes none; -backup FILE puts it there, and refuses an
    // existing FILE before anything is read.
    ASSERT_EQ(b.run({"-b", "04:00.0", "-nobackup", "clearvpd"}).status, 0);
    EXPECT_EQ(backups_in(dir).size(), 2u);
    const std::vector<uint8_t> erased = b.contents();
    ASSERT_EQ(b.run({"-b", "04:00.0", "-backup", "mine.bin", "clearinit"}).status, 0);
    EXPECT_EQ(read_file(b.file("mine.bin")), as_read(erased));
    const std::string trace = b.trace_text();
    r = b.run({"-b", "04:00.0", "-backup", "mine.bin", "clearinit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: the backup file mine.bin exists; name a new file with -backup FILE\n");
    EXPECT_EQ(b.trace_text(), trace);
}

TEST(safe_write, a_backup_that_cannot_be_saved_stops_the_command_before_any_change) {
    board b;
    write_file(b.file("init.bin"), std::vector<uint8_t>(0x400, 0x22));
    // A folder below a plain file cannot be made, even by root.
    const std::string where = b.eeprom() + "/backups";
    run_result r = b.run({"-b", "04:00.0", "write", "-finit:init.bin"}, {"--backup-dir", where});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR: cannot save the backup " + b.eeprom() + ": "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-backup FILE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-nobackup"), std::string::npos) << r.out;
    EXPECT_EQ(word_writes(b.trace_text()), 0);
    EXPECT_EQ(b.contents(), sample_board());
}

// -changed writes only the words that differ, each read back.
TEST(safe_write, changed_writes_only_the_differing_words) {
    board b;
    ASSERT_EQ(b.run({"-b", "04:00.0", "read", "same.bin"}).status, 0);
    run_result r = b.run({"-b", "04:00.0", "-changed", "write", "-f:same.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, identity_lines() +
                         "Read 0x8000 bytes from file same.bin\n"
                         "Wrote those bytes to serial eeprom starting at 0x0\n"
                         "0 words differed from the EEPROM's contents and were written\n" +
                         kDone);
    EXPECT_EQ(word_writes(b.trace_text()), 0);

    std::vector<uint8_t> image = read_file(b.file("same.bin"));
    for (uint32_t a = 0x4000; a < 0x4000 + 100 * 8; a += 8)  // 100 words, one in two
        image[a + 1] ^= 0x40;
    image[0x1B00] ^= 1;  // in the skip window: never written
    write_file(b.file("restore.bin"), image);
    write_file(b.trace(), {});
    r = b.run({"-b", "04:00.0", "restore", "restore.bin", "-changed"}, {"--write-cycle-ms", "30"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("100 words differed from the EEPROM's contents and were written\n"), std::string::npos);
    EXPECT_NE(r.out.find(" bytes of 0x190 written\n"), std::string::npos) << r.out;  // the total counts those words
    EXPECT_EQ(word_writes(b.trace_text()), 100);
    std::vector<uint8_t> expected = image;
    expected[0x1B00] ^= 1;
    EXPECT_EQ(as_read(b.contents()), as_read(expected));

    // Without a command that writes an image, -changed is refused.
    r = b.run({"-b", "04:00.0", "-changed", "clearinit"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "ERROR: -changed goes with write or restore\n");
}

// The simulator's figures: a VPD flag that answers late makes every word
// cost that long, and --stats counts what the EEPROM was asked to do.
TEST(safe_write, stats_count_the_accesses_and_vpd_us_the_time) {
    run_result r = run_sim({"--stats", "--vpd-us", "100"}, {"-b", "04:00.0", "-len", "0x400"});
    EXPECT_EQ(r.status, 0);
    // 256 words, each at least 100 us of waiting for the flag.
    const size_t at = r.err.find("EEPROM words read 256 (status polls 0), EEPROM words written 0; virtual time 0.0");
    EXPECT_NE(at, std::string::npos) << r.err;
    const double seconds = std::stod(r.err.substr(r.err.find("virtual time ") + 13));
    EXPECT_GE(seconds, 256 * 100e-6);
    EXPECT_LT(seconds, 256 * 140e-6);
}

// A backup is named after the serial number most good copies hold, however
// damaged the copy at 0x0800 is, and after the date (the host's on the
// simulator in real time).
TEST(safe_write, backup_names_carry_the_majority_serial_and_the_date) {
    board b;
    std::vector<uint8_t> e = sample_board();
    e[0x800 + 63] = 'Q';  // copy 1's serial: its checksum bad
    write_file(b.eeprom(), e);
    ASSERT_EQ(b.run({"-b", "04:00.0", "clearinit"}).status, 0);
    EXPECT_EQ(backups_in(b.file("backups")),
              std::vector<std::string>{"0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z.bin"});

    board c;
    const std::time_t now = std::time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    ASSERT_EQ(c.run({"-b", "04:00.0", "clearinit"}, {"--real-time", "--write-cycle-ms", "0.01"}).status, 0);
    const std::vector<std::string> names = backups_in(c.file("backups"));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(0, 42), "0000-04-00.0_PTSIM0000000000000012345_" + std::to_string(1900 + tm.tm_year))
        << names[0];
}

}  // namespace
