// Writes that cannot fail silently or lose a board: read-back of every word,
// the board's identity checked before it is carried anywhere, what a failed
// or refused change leaves, backups before every change, restore, and
// -changed.
#include <sys/stat.h>

#include <dirent.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <ctime>
#include <string>
#include <vector>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

const char kDone[] = "Doing full chip reset...Done\n";

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

// Every change that fails or is refused: its status and message, then the
// EEPROM, the image file, the backup, the journal and the words written.
// A failing word stops the change, is named, and the microprocessor is let
// go with a chip reset; a refusal holds nothing and writes nothing; the
// image file always gets its own bytes back; the journal stays exactly when
// EEPROM words changed.
TEST(safe_write, a_change_that_fails_or_is_refused_leaves_what_it_must) {
    enum class eeprom_after { kept, changed, unchecked };
    struct scenario {
        const char* what;
        // given
        std::function<void(std::vector<uint8_t>&)> spoil;  // of the sample board; nullptr: none
        std::string file;  // the image file the command reads; empty: none
        std::vector<uint8_t> image;
        std::vector<std::string> fault;  // simulator options; "@" stands for the EEPROM file's path
        std::vector<std::string> words;
        // then
        int status;
        std::vector<std::string> says;  // in standard output ("@" as above)
        std::string out_ends;           // how standard output ends; empty: not compared
        eeprom_after eeprom;
        bool backup, journal, held;
        int word_writes;  // up to and including a failing one; -1: not counted
    };
    const std::vector<uint8_t> full = changed_full_image();
    const std::vector<uint8_t> vpd = slice(full, 0x400, 0x8000);
    const std::string protect = "(the EEPROM may be write-protected)\n" + std::string(kDone);
    const std::string broken = "ERROR: the board's identity in its VPD copy at EEPROM address 0x0800 is blank or "
                               "broken: ";
    const std::string hint = "romwright -b 0000:04:00.0 restore FILE";
    const std::string blank_why = "the copy does not begin with the identifier-string tag 0x82 (it holds 0xff); the "
                                  "part number is not printable text; the serial number is not printable text; the "
                                  "MAC address is not 12 hexadecimal digits.\n";
    auto blank_copy = [](std::vector<uint8_t>& e) { std::fill(e.begin() + 0x800, e.begin() + 0xC00, 0xFF); };
    auto mac_beyond_f = [](std::vector<uint8_t>& e) { e[0x800 + 90 + 5] = 'G'; };
    auto serial_control = [](std::vector<uint8_t>& e) { e[0x800 + 63] = 0x01; };
    auto untrusted = [](std::vector<uint8_t>& e) { e[0x800 + 70] ^= 0x01; };
    std::vector<uint8_t> no_rv = full;
    no_rv[0x400 * 9 + 104] = 0;  // copy 8 (file offset 0x2400): RV field without its checksum byte
    const std::vector<std::string> w_full = {"write", "-f:img.bin"};
    const std::vector<std::string> w_changed = {"write", "-f:img.bin", "-changed"};
    const std::vector<std::string> w_vpd = {"write", "-fvpd:img.bin"};
    const std::vector<std::string> wp = {"--write-protect"};
    const scenario cases[] = {
        // A write-protected EEPROM: words that already hold their value read
        // back right, the first word that differs fails.
        {"write -f, protected", nullptr, "img.bin", full, wp, w_full, 1,
         {"ERROR: EEPROM address 0x0100 reads back 0x18110a03 after 0xa5a5a5a5", protect}, kDone,
         eeprom_after::kept, true, false, true, 65},
        {"write -f -changed, protected", nullptr, "img.bin", full, wp, w_changed, 1, {"reads back 0x", protect}, kDone,
         eeprom_after::kept, true, false, true, 1},
        {"write -fvpd, protected", nullptr, "vpd.bin", vpd, wp, {"write", "-fvpd:vpd.bin"}, 1,
         {"ERROR: EEPROM address 0x042c reads back 0x53203041 after 0x53203042", protect}, kDone, eeprom_after::kept,
         true, false, true, 12},
        {"write -finit, protected", nullptr, "init.bin", std::vector<uint8_t>(0x400, 0x11), wp,
         {"write", "-finit:init.bin"}, 1, {"ERROR: EEPROM address 0x0000 reads back 0x532d5752 after 0x11111111", protect},
         kDone, eeprom_after::kept, true, false, true, 1},
        {"restore, protected", nullptr, "saved.bin", with_board_identity(full), wp, {"restore", "saved.bin"}, 1,
         {"ERROR: EEPROM address 0x0100 reads back 0x18110a03 after 0xa5a5a5a5", protect}, kDone, eeprom_after::kept,
         true, false, true, 65},
        {"clearinit, protected", nullptr, "", {}, wp, {"clearinit"}, 1,
         {"ERROR: EEPROM address 0x0000 reads back 0x532d5752 after 0xffffffff", protect}, kDone, eeprom_after::kept,
         true, false, true, 1},
        {"clearvpd, protected", nullptr, "", {}, wp, {"clearvpd"}, 1,
         {"ERROR: EEPROM address 0x0400 reads back 0x52001082 after 0xffffffff", protect}, kDone, eeprom_after::kept,
         true, false, true, 1},
        // Failures after words changed: the journal stays.
        {"status never idle", nullptr, "img.bin", full, {"--stall", "status"}, w_changed, 1,
         {"still reported busy 2 seconds"}, kDone, eeprom_after::changed, true, true, true, -1},
        {"run time too short", nullptr, "img.bin", full, {"--write-cycle-ms", "0"}, w_full, 1,
         {"Run time too short!"}, kDone, eeprom_after::changed, true, true, true, -1},
        // A blank or broken identity on the board is never carried into the
        // image file or the EEPROM.
        {"blank copy, -f", blank_copy, "img.bin", full, {}, w_full, 1, {broken + blank_why, hint}, "",
         eeprom_after::kept, false, false, false, 0},
        {"blank copy, -fvpd", blank_copy, "img.bin", vpd, {}, w_vpd, 1, {broken + blank_why, hint}, "",
         eeprom_after::kept, false, false, false, 0},
        {"MAC beyond F, -f", mac_beyond_f, "img.bin", full, {}, w_full, 1,
         {broken + "the MAC address is not 12 hexadecimal digits.\n", hint}, "", eeprom_after::kept, false, false,
         false, 0},
        {"MAC beyond F, -fvpd", mac_beyond_f, "img.bin", vpd, {}, w_vpd, 1,
         {broken + "the MAC address is not 12 hexadecimal digits.\n", hint}, "", eeprom_after::kept, false, false,
         false, 0},
        {"serial with a control byte, -f", serial_control, "img.bin", full, {}, w_full, 1,
         {broken + "the serial number is not printable text.\n", hint}, "", eeprom_after::kept, false, false, false,
         0},
        {"serial with a control byte, -fvpd", serial_control, "img.bin", vpd, {}, w_vpd, 1,
         {broken + "the serial number is not printable text.\n", hint}, "", eeprom_after::kept, false, false, false,
         0},
        {"blank board", nullptr, "img.bin", full, {"--blank"}, w_full, 1, {"is blank or broken"}, "",
         eeprom_after::unchecked, false, false, false, 0},
        {"untrusted identity", untrusted, "img.bin", full, {}, w_full, 1, {"cannot be trusted"}, "",
         eeprom_after::kept, false, false, false, 0},
        {"image copy without its checksum byte", nullptr, "img.bin", no_rv, {}, w_full, 1, {},
         identity_lines() +
             "ERROR: img.bin cannot take the board's identity: the VPD copy at file offset 0x2400 (9216) has no RV "
             "checksum field inside the copy (RV field at offset 102 has no checksum byte); nothing was written to "
             "the file or the EEPROM\n",
         eeprom_after::kept, false, false, false, 0},
        // A folder below a plain file cannot be made, even by root.
        {"backup cannot be saved", nullptr, "init.bin", std::vector<uint8_t>(0x400, 0x22), {"--backup-dir", "@/backups"},
         {"write", "-finit:init.bin"}, 1, {"ERROR: cannot save the backup @: ", "-backup FILE", "-nobackup"}, "",
         eeprom_after::kept, false, false, false, 0},
    };
    for (const scenario& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        auto at_eeprom = [&b](std::string s) {
            const size_t at = s.find('@');
            return at == std::string::npos ? s : s.replace(at, 1, b.eeprom());
        };
        std::vector<uint8_t> before = sample_board();
        if (c.spoil)
            c.spoil(before);
        write_file(b.eeprom(), before);
        if (c.eeprom == eeprom_after::unchecked)
            unlink(b.eeprom().c_str());  // the simulator makes it
        if (!c.file.empty())
            write_file(b.file(c.file), c.image);
        std::vector<std::string> fault, words = {"-b", "04:00.0"};
        for (const std::string& f : c.fault)
            fault.push_back(at_eeprom(f));
        words.insert(words.end(), c.words.begin(), c.words.end());

        const run_result r = b.run(words, fault);
        EXPECT_EQ(r.status, c.status);
        for (const std::string& s : c.says) {
            EXPECT_NE(r.out.find(at_eeprom(s)), std::string::npos) << s << "\n" << r.out;
        }
        if (!c.out_ends.empty()) {
            EXPECT_TRUE(ends_with(r.out, c.out_ends)) << r.out;
        }
        if (c.eeprom != eeprom_after::unchecked) {
            EXPECT_EQ(b.contents() == before, c.eeprom == eeprom_after::kept);
        }
        if (!c.file.empty()) {
            EXPECT_EQ(read_file(b.file(c.file)), c.image);
        }
        EXPECT_EQ(!files_in(b.file("backups")).empty(), c.backup);
        EXPECT_EQ(access(b.journal().c_str(), F_OK) == 0, c.journal) << r.out << r.err;
        const std::string trace = b.trace_text();
        EXPECT_EQ(trace.find("W 0x07b00") != std::string::npos, c.held);
        if (c.word_writes >= 0) {
            EXPECT_EQ(word_writes(trace), c.word_writes);
        }
    }
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
    std::vector<std::string> names = files_in(dir);
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
    names = files_in(dir);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], "0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z.bin");
    EXPECT_EQ(names[0], "0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z-2.bin");
    EXPECT_EQ(read_file(dir + "/" + names[0]), as_read(cleared));
    // Unchanged since that one: no third.
    r = b.run({"-b", "04:00.0", "clearinit"});
    EXPECT_EQ(files_in(dir).size(), 2u);
    EXPECT_NE(r.err.find("no new backup made"), std::string::npos) << r.err;

    // -nobackup makes none; -backup FILE puts it there, and refuses an
    // existing FILE before anything is read.
    ASSERT_EQ(b.run({"-b", "04:00.0", "-nobackup", "clearvpd"}).status, 0);
    EXPECT_EQ(files_in(dir).size(), 2u);
    const std::vector<uint8_t> erased = b.contents();
    ASSERT_EQ(b.run({"-b", "04:00.0", "-backup", "mine.bin", "clearinit"}).status, 0);
    EXPECT_EQ(read_file(b.file("mine.bin")), as_read(erased));
    const std::string trace = b.trace_text();
    r = b.run({"-b", "04:00.0", "-backup", "mine.bin", "clearinit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: the backup file mine.bin exists; name a new file with -backup FILE\n");
    EXPECT_EQ(b.trace_text(), trace);
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
    EXPECT_EQ(r.out, "ERROR: -changed goes with write or restore, not with clearinit\n");
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
    EXPECT_EQ(files_in(b.file("backups")),
              std::vector<std::string>{"0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z.bin"});

    board c;
    const std::time_t now = std::time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    ASSERT_EQ(c.run({"-b", "04:00.0", "clearinit"}, {"--real-time", "--write-cycle-ms", "0.01"}).status, 0);
    const std::vector<std::string> names = files_in(c.file("backups"));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(0, 42), "0000-04-00.0_PTSIM0000000000000012345_" + std::to_string(1900 + tm.tm_year))
        << names[0];
}

}  // namespace
