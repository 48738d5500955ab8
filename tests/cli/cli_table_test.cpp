// The command line end to end: every rejection with its exact output and
// status, and the accepted corner cases, through romwright-sim.
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli_helpers.h"
#include "romwright/command_rows.h"
#include "romwright/front_end.h"

namespace {

// --help as tests/data/help.txt has it, its commands' lines those of the
// rows in their order: a new command needs no edit here.
std::string help_with_rows() {
    std::string commands;
    for (const command_row* r : command_rows())
        for (const help_line& h : r->help)
            if (h.synopsis)
                commands += strprintf("  %-19s %s\n", h.synopsis, h.text);
    std::string text = read_text(ROMWRIGHT_TEST_DATA "/help.txt");
    const std::string mark = "@COMMANDS@\n";
    text.replace(text.find(mark), mark.size(), commands);
    return text;
}

struct cli_case {
    std::vector<std::string> sim_opts;
    std::vector<std::string> words;
    int status;
    std::string out;
};

const char kNoB[] = "Please specify the bus:device:function number using -b option\n";
const char kBdinfoFailed[] = "ERR: Error reading board info file\n";

TEST(cli_table, messages_and_statuses) {
    temp_dir dir;
    write_text(dir.file("good.txt"), "PT12345\n1102005SIMA00001\n0C4E29000001");
    write_text(dir.file("badchar.txt"), "1102005SIMA00001\nPT 12345\n");
    write_text(dir.file("badprefix.txt"), "pt12345\n");
    write_text(dir.file("crlf.txt"), "PT12345\r\n");
    write_text(dir.file("longmac.txt"), "0C4E290000011\n");
    write_text(dir.file("blankline.txt"), "PT12345\n\n");
    const std::string u = expected_usage();
    const std::string dump16 = "\n0000:  52 57 2d 53 49 4d 20 49 4e 49 54 20 52 45 47 49  RW-SIM INIT REGI\n";
    const std::string clearinit_out =
        "\nErasing Init region with 0xff\nwriting to Offset 0x0...Doing full chip reset...Done\nWrote 0x400 bytes\n";

    const std::vector<cli_case> cases = {
        {{}, {}, 255, u},
        {{}, {"-h"}, 255, u},
        {{}, {"-b", "04:00.0", "-h", "dump"}, 255, u},
        // Words after -h are not examined: the missing file is never opened.
        {{}, {"-b", "04:00.0", "-h", "bdinfo", "missing.txt"}, 255, u},
        {{}, {"-b"}, 255, u},
        {{}, {"dump", "-b"}, 255, u},
        {{}, {"-b", "04-00.0"}, 255, u + "Unable to parse -b arg: 04-00.0\n"},
        {{}, {"-b", "0000:04:00"}, 255, u + "Unable to parse -b arg: 0000:04:00\n"},
        {{}, {"-b", "04:00.0", "bdinfo"}, 255, u + "'bdinfo' requires an argument\n"},
        {{}, {"-b", "04:00.0", "read"}, 255, u + "'read' requires an argument\n"},
        {{}, {"-b", "04:00.0", "write"}, 255, u + "'write' requires an argument\n"},
        {{}, {"-b", "04:00.0", "verify"}, 255, u + "'verify' requires an argument\n"},
        {{}, {"-b", "04:00.0", "-addr"}, 255, u + "'-addr' requires an argument\n"},
        {{}, {"-b", "04:00.0", "-len"}, 255, u + "'-len' requires an argument\n"},
        // The write message stands without a line end.
        {{}, {"-b", "04:00.0", "write", "img.bin"}, 255, u + "'write' requires an argument '-f_filetype_:<filename>'"},
        {{}, {"-b", "04:00.0", "verify", "img.bin"}, 255, u},
        {{}, {"-b", "04:00.0", "write", "-fx:img.bin"}, 255, u + "ERROR: Unknown binary file type\n"},
        {{}, {"-b", "04:00.0", "verify", "-fvpdx:img.bin"}, 255, u + "ERROR: Unknown binary file type\n"},
        {{}, {"-b", "04:00.0", "-addr", "zz"}, 255, "Argument to -addr must be a hex or decimal number.  zz not allowed\n"},
        {{}, {"-len", "abc", "-b", "04:00.0"}, 255, "Argument to -len must be a hex or decimal number.  abc not allowed\n"},
        // Image arguments that name no file, and no earlier file name.
        {{}, {"-b", "04:00.0", "write", "-fvpd"}, 255,
         "ERROR: 'write' names no image file: give -f:<file>, -fvpd:<file> or -finit:<file>\n"},
        {{}, {"-b", "04:00.0", "verify", "-finit"}, 255,
         "ERROR: 'verify' names no image file: give -f:<file>, -fvpd:<file> or -finit:<file>\n"},
        // Board-info files are read while the words are walked.
        {{}, {"bdinfo", "missing.txt", "-b", "04:00.0"}, 255, "unable to locate boardinfo file:missing.txt\n"},
        {{}, {"-b", "04:00.0", "bdinfo", "badchar.txt"}, 1,
         std::string("Please remove any special character,  index=2, data= \n") + kBdinfoFailed},
        {{}, {"-b", "04:00.0", "bdinfo", "crlf.txt"}, 1,
         std::string("Please remove any special character,  index=7, data=\r\n") + kBdinfoFailed},
        {{}, {"-b", "04:00.0", "bdinfo", "badprefix.txt"}, 1,
         std::string("ERR: Invalid Board details:pt12345\n") + kBdinfoFailed},
        {{}, {"-b", "04:00.0", "bdinfo", "blankline.txt"}, 1,
         std::string("ERR: Invalid Board details:\n") + kBdinfoFailed},
        {{}, {"-b", "04:00.0", "bdinfo", "longmac.txt"}, 1,
         std::string("ERR: Board detail too long (13 characters, at most 12):0C4E290000011\n") + kBdinfoFailed},
        // A bad file ends the words where it is named: neither the warning
        // nor the usage error of a later word is reached.
        {{}, {"bdinfo", "badprefix.txt", "-len", "0", "-b", "zz"}, 1,
         std::string("ERR: Invalid Board details:pt12345\n") + kBdinfoFailed},
        // A valid file prints nothing; the run goes on to the -b check.
        {{}, {"bdinfo", "good.txt"}, 1, kNoB},
        {{}, {"dump"}, 1, kNoB},
        // "read" takes "-b" as its file name, so no -b is left.
        {{}, {"read", "-b", "04:00.0"}, 1, kNoB},
        {{}, {"-b", "04:00.0", "-addr", "0x7ffc"}, 1, "Error: -addr 0x7ffc + -len 0x8000 must be <= 0x8000\n"},
        {{}, {"-b", "04:00.0", "-addr", "6", "-len", "4"}, 1, "Error: -addr 0x6 must be multiple of 4\n"},
        {{}, {"-b", "04:00.0", "-addr", "010", "-len", "4"}, 1, "Error: -addr 0xa must be multiple of 4\n"},
        {{}, {"-b", "04:00.0", "-addr", "8", "-len", "-4"}, 1,
         "You entered  -len -4. Value must be less than 32768 (0x8000)\n"
         "Error: -addr 0x8 + -len 0xfffffffc must be <= 0x8000\n"},
        {{}, {"-b", "04:00.0", "-addr", "4294967300", "-len", "4"}, 1,
         "You entered  -addr 4294967300. Value must be less than 32764 (0x7ffc)\n"
         "Error: -addr 0xffffffff + -len 0x4 must be <= 0x8000\n"},
        {{}, {"-b", "04:00.0", "-addr", "0x8000", "-len", "0"}, 0,
         "You entered  -addr 0x8000. Value must be less than 32764 (0x7ffc)\n"
         "You entered  -len 0. Value must be greater than 4 (0x4)\n\n"},
        {{}, {"-b", "05:00.0", "-len", "16"}, 1, "Unable to find device  1e2c:*\n"},
        {{}, {"-b", "4:0.0", "-len", "16"}, 0, dump16},
        // Dumps: partial first and last lines keep their columns; 0x7f shows
        // as itself, 0x1f and bytes from 0x80 as '.'; the skip window shows.
        {{}, {"-b", "04:00.0", "-addr", "0X1C", "-len", "4"}, 0,
         "\n0010: " + std::string(36, ' ') + " c7 ce d5 dc  " + std::string(12, ' ') + "....\n"},
        {{}, {"-b", "04:00.0", "-addr", "4", "-len", "8"}, 0,
         "\n0000: " + std::string(12, ' ') + " 49 4d 20 49 4e 49 54 20" + std::string(14, ' ') + "    IM INIT \n"},
        {{}, {"-b", "04:00.0", "-addr", "0x100", "-len", "5"}, 0,
         "\n0100:  03 0a 11 18 1f" + std::string(35, ' ') + ".....\n"},
        {{}, {"-b", "04:00.0", "-addr", "0xa0", "-len", "0x10"}, 0,
         "\n00a0:  63 6a 71 78 7f 86 8d 94 9b a2 a9 b0 b7 be c5 cc  cjqx\x7f...........\n"},
        {{}, {"-b", "04:00.0", "-addr", "0x1ae0", "-len", "16"}, 0,
         "\n1ae0:  53 4b 49 50 57 49 4e 44 4f 57 2d 4b 45 45 50 3a  SKIPWINDOW-KEEP:\n"},
        // Beside a command word, unknown words are skipped silently; a valid
        // board-info file changes nothing.
        {{}, {"DUMP", "stray.bin", "bdinfo", "good.txt", "-b", "04:00.0", "-len", "16", "dump"}, 0, dump16},
        // Without one, they are refused: most likely a misspelt command.
        {{}, {"wirte"}, 255,
         "ERROR: unknown word 'wirte' and no command word: nothing was done (man 8 romwright lists the "
         "commands)\n"},
        // Answers that need no -b; later words are not examined.
        {{}, {"--help", "bdinfo", "missing.txt"}, 0, help_with_rows()},
        // As text, -json or not.
        {{}, {"-json", "vpd", "-len", "16", "--version", "-b"}, 0, "romwright " ROMWRIGHT_VERSION "\n"},
        // The simulator's own answer: romwright's words are not run.
        {{"--version"}, {"-b", "04:00.0", "clearinit"}, 0, "romwright-sim " ROMWRIGHT_VERSION "\n"},
        // The image file named is the file used, '-', ':' and blanks kept.
        {{}, {"-b", "04:00.0", "verify", "-finit:no such-dir/init-v2.bin"}, 255,
         "Unable to open file:no such-dir/init-v2.bin\n"},
        // The last command word wins; later values replace earlier ones.
        {{}, {"clearinit", "-b", "04:00.0", "-len", "8", "dump", "-len", "16"}, 0, dump16},
        {{}, {"dump", "-b", "04:00.0", "clearinit"}, 0, clearinit_out},
        {{}, {"-b", "04:00.0", "read", "-out.bin"}, 1, "ERROR: Invalid filename specified\n"},
        {{"--device", "0001:04:00.0"}, {"-b", "0000:04:00.0", "-len", "16"}, 1, "Unable to find device  1e2c:*\n"},
    };
    for (const cli_case& c : cases) {
        std::string words;
        for (const std::string& w : c.words)
            words += " " + w;
        SCOPED_TRACE("words:" + words);
        run_result r = run_sim(c.sim_opts, c.words, dir.path());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        // No function at -b's address: a note names the address as asked for.
        const std::string note = c.out == "Unable to find device  1e2c:*\n"
                                     ? "romwright: no adapter function at -b " + c.words[1] +
                                           "; 'romwright list' shows the adapters of this host\n"
                                     : "";
        EXPECT_EQ(r.err, note);
    }
}

TEST(cli_table, simulator_option_errors_end_with_status_2_on_stderr) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"}, {"--eeprom"}, {"--eeprom", ""}, {"--stall", "forever"}, {"--raise", "KILL:3"},
        {"--raise", "USR1"}, {"--device", "04:00"}, {"--write-cycle-ms", "-1"},
        {"--write-cycle-ms", "0.0005"}, {"--write-cycle-ms", "1."}, {"--write-cycle-ms", "600000.5"},
        {"--driver", ""}, {"--driver", "../rwnic"}, {"--lockdown", "full"}};
    for (const auto& opts : bad) {
        SCOPED_TRACE(opts[0]);
        run_result r = run_sim(opts, {"-b", "04:00.0", "-len", "4"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("romwright-sim: "), std::string::npos) << r.err;
    }
    temp_dir dir;
    write_file(dir.file("short.bin"), std::vector<uint8_t>(100, 0));
    run_result r = run_sim({"--eeprom", dir.file("short.bin")}, {"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("32768"), std::string::npos) << r.err;

    // One function named twice, the second time with its domain.
    r = run_sim({"--device", "04:00.0", "--device", "0000:04:00.0"}, {"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "romwright-sim: --device 0000:04:00.0: PCI function 0000:04:00.0 is already on the simulated "
                     "host (each --device adds another function)\n");

    // A device served to a virtual machine is under the guest's kernel.
    r = run_sim({"--serve", dir.file("s.sock"), "--driver", "rwnic"}, {});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "romwright-sim: --serve takes neither --driver nor --lockdown: the kernel is the client's\n");
}

// The EEPROM file through symbolic links, and never the output of read.
TEST(cli_table, simulator_eeprom_file_corners) {
    cli::board b;
    ASSERT_EQ(symlink("new.bin", b.file("dangling.bin").c_str()), 0);
    run_result r = run_sim({"--eeprom", b.file("dangling.bin")}, {"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(b.file("new.bin")), sample_board());

    ASSERT_EQ(symlink("nodir/x.bin", b.file("nowhere.bin").c_str()), 0);
    r = run_sim({"--eeprom", b.file("nowhere.bin")}, {"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "romwright-sim: cannot open EEPROM file " + b.file("nowhere.bin") +
                         " (a symbolic link to nodir/x.bin): No such file or directory\n");

    // The same file under other names: refused before any register access.
    ASSERT_EQ(symlink("eeprom.bin", b.file("alias.bin").c_str()), 0);
    for (const std::string& name : {std::string("eeprom.bin"), std::string("./alias.bin"), b.eeprom()}) {
        SCOPED_TRACE(name);
        r = b.run({"-b", "04:00.0", "read", name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "ERROR: " + name + " is the simulated adapter's EEPROM file (--eeprom): reading the EEPROM "
                         "into it would destroy it; name another file\n");
        EXPECT_EQ(b.trace_text(), "");
        EXPECT_EQ(b.contents(), sample_board());
    }
}

// Write cycles of a fraction of a millisecond: half a millisecond more per
// cycle is half a millisecond more per word written, in virtual time.
TEST(cli_table, write_cycles_take_fractions_of_a_millisecond) {
    temp_dir dir;
    write_file(dir.file("init.bin"), std::vector<uint8_t>(0x400, 0x5A));
    auto run = [&](const std::string& ms, uint64_t* words) {
        run_result r = run_sim({"--write-cycle-ms", ms, "--stats"}, {"-b", "04:00.0", "-nobackup", "write", "-finit:init.bin"},
                               dir.path());
        EXPECT_EQ(r.status, 0) << r.out;
        const size_t w = r.err.find("EEPROM words written "), t = r.err.find("virtual time ");
        EXPECT_NE(t, std::string::npos) << r.err;
        *words = std::stoull(r.err.substr(w + 21));
        const std::string secs = r.err.substr(t + 13);
        return std::stoll(secs) * 1000000 + std::stoll(secs.substr(secs.find('.') + 1));
    };
    uint64_t n2 = 0, n25 = 0;
    const int64_t t2 = run("2", &n2), t25 = run("2.5", &n25);
    EXPECT_EQ(n2, 256u);
    EXPECT_EQ(n25, n2);
    EXPECT_EQ(t25 - t2, static_cast<int64_t>(n2) * 500);
}

}  // namespace
