// vpd, list and romwright-vpd end to end: the report over the sample board
// and over copies changed on purpose, on the board and in image files; the
// identity set into a new image; JSON documents and JSON errors.
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

run_result run_vpd_tool(const std::vector<std::string>& args, const std::string& cwd = std::string()) {
    return run_program(vpd_path(), args, cwd);
}

// romwright-vpd with its standard output on /dev/full, where every write
// fails; standard error is kept.
run_result run_vpd_tool_into_full_device(const std::vector<std::string>& args, const temp_dir& dir) {
    std::vector<std::string> all = program_words(vpd_path(), args);
    const std::string err_path = dir.file("stderr.txt");
    std::vector<char*> argv = argv_of(all);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open("/dev/full", O_WRONLY);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
            chdir(dir.path().c_str()) != 0)
            _exit(126);
        exec_argv(argv);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run_result r;
    r.signaled = WIFSIGNALED(wstatus);
    r.status = r.signaled ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    r.err = read_text(err_path);
    return r;
}

std::string hex4(uint32_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

std::string copy_head(int i, const char* state) {
    return "Copy " + std::to_string(i) + " at 0x" + hex4(0x400 + 0x400 * static_cast<uint32_t>(i)) + ": " + state +
           "\n";
}

std::string sample_block(int i, const char* sn = kBoardSn) {
    return copy_head(i, "good") + "  ID string  RW-SIM DUAL 25GB\n  PN         " + kBoardPn +
           "\n  EC         A0 SIMULATED ECO\n  SN         " + sn + "\n  NA (MAC)   " + kBoardMac +
           "\n  checksum   good\n";
}

const std::string kAllAgree =
    "Summary: 14 of 14 copies good; part number, serial number and MAC address agree in all good copies\n";

// As vpd -v shows it: every copy under its own head.
std::string sample_report_every_copy() {
    std::string r;
    for (int i = 0; i < 14; ++i)
        r += sample_block(i);
    return r + kAllAgree;
}

// As vpd shows it: the 14 identical copies once.
std::string sample_report() {
    const std::string block = sample_block(0);
    return "Copies 0-13: good, identical\n" + block.substr(block.find('\n') + 1) + kAllAgree;
}

// The head of the copies other than copy (2 to 12), all alike.
std::string others_head(int copy) {
    return "Copies 0-" + std::to_string(copy - 1) + " and " + std::to_string(copy + 1) + "-13: good, identical\n";
}

uint8_t* copy_of(std::vector<uint8_t>& eeprom, int i) { return &eeprom[0x400 + 0x400 * static_cast<size_t>(i)]; }

TEST(vpd, the_sample_board_is_all_good_on_the_board_and_in_its_images) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "vpd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, sample_report());
    EXPECT_EQ(r.err, "");
    r = b.run({"-b", "04:00.0", "vpd", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, sample_report_every_copy());

    write_file(b.file("full.bin"), sample_board());
    write_file(b.file("vpd.bin"), slice(sample_board(), 0x400, 0x8000));
    for (const char* image : {"full.bin", "vpd.bin"}) {
        SCOPED_TRACE(image);
        r = run_vpd_tool({image}, b.file(""));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, sample_report());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(run_vpd_tool({"-v", image}, b.file("")).out, sample_report_every_copy());
    }
}

// Each change shows the same on the board (vpd) and in a whole image
// (romwright-vpd), in text and in JSON.
TEST(vpd, changed_copies_are_reported_the_same_on_the_board_and_in_a_file) {
    struct change_case {
        const char* what;
        int copy;
        std::function<void(uint8_t*)> change;
        std::string block;  // the changed copy's block
        const char* state;
        std::string summary;
        bool agree;  // the good copies agree: a faulty copy takes no part
    };
    const std::string good13 =
        "Summary: 13 of 14 copies good; part number, serial number and MAC address agree in all good copies\n";
    const change_case cases[] = {
        {"a bad checksum", 2, [](uint8_t* c) { c[30] ^= 1; },
         copy_head(2, "faulty") + "  ID string  RW-SIM DUAL 25GB\n  PN         1102015SIMA00001\n"
                                  "  EC         A0 SIMULATED ECO\n  SN         PTSIM0000000000000012345\n"
                                  "  NA (MAC)   0C4E29000001\n  checksum   bad\n",
         "faulty", good13, true},
        {"a blank copy", 7, [](uint8_t* c) { std::memset(c, 0xFF, 0x400); },
         copy_head(7, "blank") + "  ID string  (none)\n  PN         (none)\n  EC         (none)\n  SN         (none)\n"
                                 "  NA (MAC)   (none)\n  checksum   missing\n  problem    blank: every byte is 0xFF\n",
         "blank", good13, true},
        {"a serial number that differs", 9, [](uint8_t* c) { set_identity(c, kBoardPn, kOtherSn, kBoardMac); },
         sample_block(9, kOtherSn), "good",
         "Summary: 14 of 14 copies good; serial number differs in copy 9 (0x2800); part number and MAC address "
         "agree in all good copies\n",
         false},
        {"an NA keyword renamed", 3,
         [](uint8_t* c) {
             c[88] = 'X';
             set_identity(c, kBoardPn, kBoardSn, kBoardMac);  // the checksum good again
         },
         copy_head(3, "good") + "  ID string  RW-SIM DUAL 25GB\n  PN         " + kBoardPn +
             "\n  EC         A0 SIMULATED ECO\n  SN         " + kBoardSn + "\n  NA (MAC)   (none)\n  NX         " +
             kBoardMac + "\n  checksum   good\n",
         "good",
         "Summary: 14 of 14 copies good; MAC address differs in copy 3 (0x1000); part number and serial number "
         "agree in all good copies\n",
         false},
    };
    for (const change_case& k : cases) {
        SCOPED_TRACE(k.what);
        board b;
        std::vector<uint8_t> e = sample_board();
        k.change(copy_of(e, k.copy));
        write_file(b.eeprom(), e);
        write_file(b.file("image.bin"), e);

        const run_result on_board = b.run({"-b", "04:00.0", "vpd"});
        EXPECT_EQ(on_board.status, 1);
        EXPECT_NE(on_board.out.find(k.block), std::string::npos) << on_board.out;
        // The other copies, all alike, shown once before it.
        EXPECT_EQ(on_board.out.rfind(others_head(k.copy), 0), 0u) << on_board.out;
        EXPECT_EQ(on_board.out.substr(on_board.out.size() - k.summary.size()), k.summary);
        const run_result in_file = run_vpd_tool({"image.bin"}, b.file(""));
        EXPECT_EQ(in_file.status, 1);
        EXPECT_EQ(in_file.out, on_board.out);

        const run_result board_json = b.run({"-b", "04:00.0", "vpd", "-json"});
        const run_result file_json = run_vpd_tool({"--json", "image.bin"}, b.file(""));
        EXPECT_EQ(board_json.status, 1);
        EXPECT_EQ(file_json.status, 1);
        json doc = json::parse(board_json.out);
        // The board's document names the command, the adapter and the path
        // the copies came by too.
        EXPECT_EQ(doc["command"], "vpd");
        EXPECT_EQ(doc["adapter"], "0000:04:00.0");
        EXPECT_EQ(doc["via"], "registers");
        EXPECT_EQ(doc["copies_read"], 14);
        for (const char* key : {"command", "adapter", "via", "copies_read"})
            doc.erase(key);
        EXPECT_EQ(json::parse(file_json.out), doc);
        EXPECT_EQ(doc["copies"].size(), 14u);
        EXPECT_EQ(doc["copies"][k.copy]["state"], k.state);
        EXPECT_EQ(doc["copies"][k.copy]["address"], 0x400 + 0x400 * k.copy);
        EXPECT_EQ(doc["summary"]["agree"], k.agree);
        EXPECT_EQ(doc["status"], 1);

        // repair judges the copy as vpd does: it rewrites it, and vpd then
        // finds every copy good and agreeing.
        const run_result repaired = b.run({"-b", "04:00.0", "repair"});
        EXPECT_EQ(repaired.status, 0);
        EXPECT_EQ(repaired.out.rfind("Copy " + std::to_string(k.copy) + " at 0x" +
                                         hex4(0x400 + 0x400 * static_cast<uint32_t>(k.copy)) + " (",
                                     0),
                  0u)
            << repaired.out;
        EXPECT_EQ(b.run({"-b", "04:00.0", "vpd"}).status, 0);
        EXPECT_EQ(b.contents(), sample_board());
    }
}

TEST(vpd_tool, refuses_a_file_it_cannot_read_or_of_another_size) {
    temp_dir dir;
    struct file_case {
        std::string name;
        long size;  // -1: no such file; -2: a directory
        std::string message;
    };
    const std::string expected = "; expected a whole-EEPROM image (32768 bytes) or a VPD-only image (31744 bytes)";
    const file_case cases[] = {
        {"empty.bin", 0, "romwright-vpd: empty.bin holds 0 bytes" + expected},
        {"init.bin", 1024, "romwright-vpd: init.bin holds 1024 bytes" + expected},
        {"vpd1.bin", 31745, "romwright-vpd: vpd1.bin holds 31745 bytes" + expected},
        {"big.bin", 65536, "romwright-vpd: big.bin holds more than 32768 bytes" + expected},
        {"absent.bin", -1, "romwright-vpd: cannot open absent.bin: No such file or directory"},
        {"subdir", -2, "romwright-vpd: cannot read subdir: Is a directory"},
    };
    for (const file_case& k : cases) {
        SCOPED_TRACE(k.name);
        if (k.size >= 0)
            write_file(dir.file(k.name), std::vector<uint8_t>(static_cast<size_t>(k.size), 0x82));
        else if (k.size == -2)
            mkdir(dir.file(k.name).c_str(), 0755);
        run_result r = run_vpd_tool({k.name}, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, k.message + "\n");
        r = run_vpd_tool({k.name, "--json"}, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(json::parse(r.out), (json{{"schema_version", 5}, {"error", k.message}, {"status", 2}}));
    }
    const run_result none = run_vpd_tool({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "romwright-vpd: name an image file (see romwright-vpd --help)\n");
    // --version answers as text, --json or not, and no file is read.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"},
                                                  std::vector<std::string>{"--json", "absent.bin", "--version"}}) {
        const run_result r = run_vpd_tool(args, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "romwright-vpd " ROMWRIGHT_VERSION "\n");
    }
}

// The image that set writes: FILE's bytes with the identity in every copy,
// each checksum fixed.  It passes romwright-vpd and, restored onto a blank
// board, the vpd command.
TEST(vpd_tool, set_writes_a_new_image_that_passes_both_checks) {
    temp_dir dir;
    std::vector<uint8_t> full = sample_board(), expected = full;
    for (int i = 0; i < 14; ++i)
        set_identity(copy_of(expected, i), kOtherPn, kOtherSn, kOtherMac);
    write_file(dir.file("full.bin"), full);
    write_file(dir.file("vpd.bin"), slice(full, 0x400, 0x8000));

    run_result r = run_vpd_tool({"set", "--pn", kOtherPn, "--sn", kOtherSn, "--mac", kOtherMac, "full.bin", "out.bin"},
                                dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("Wrote out.bin: part number ") + kOtherPn + ", serial number " + kOtherSn +
                         ", MAC address " + kOtherMac + " in all 14 VPD copies, each checksum fixed\n");
    EXPECT_EQ(read_file(dir.file("full.bin")), full);
    EXPECT_EQ(read_file(dir.file("out.bin")), expected);

    r = run_vpd_tool({"--json", "out.bin"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(json::parse(r.out)["summary"]["serial_number"]["value"], kOtherSn);
    // Restored onto a blank board, it passes vpd there.
    board blank;
    write_file(blank.eeprom(), std::vector<uint8_t>(0x8000, 0xFF));
    write_file(blank.file("out.bin"), read_file(dir.file("out.bin")));
    r = blank.run({"-b", "04:00.0", "restore", "out.bin"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = blank.run({"-b", "04:00.0", "vpd", "-json"});
    EXPECT_EQ(r.status, 0);
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["summary"]["part_number"]["value"], kOtherPn);
    EXPECT_EQ(doc["summary"]["mac_address"]["value"], kOtherMac);

    // A VPD-only image, short values padded with blanks, a lowercase MAC
    // address in each spelling stored bare in capitals, JSON result giving
    // the values without their padding and the bytes beside them.
    std::vector<uint8_t> padded = slice(full, 0x400, 0x8000);
    for (int i = 0; i < 14; ++i)
        set_identity(&padded[0x400 * static_cast<size_t>(i)], "110SHORT        ", "PT1                     ", kOtherMac);
    int n = 0;
    for (const char* mac : {"0c4e29abcdef", "0c:4e:29:ab:cd:ef", "0C-4E-29-AB-CD-EF"}) {
        SCOPED_TRACE(mac);
        const std::string out = "out" + std::to_string(++n) + ".bin";
        r = run_vpd_tool({"set", "--json", "--pn", "110SHORT", "--sn", "PT1", "--mac", mac, "vpd.bin", out},
                         dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(json::parse(r.out), (json{{"schema_version", 5},
                                            {"written", out},
                                            {"bytes", 31744},
                                            {"copies", 14},
                                            {"part_number", "110SHORT"},
                                            {"part_number_raw", "110SHORT        "},
                                            {"serial_number", "PT1"},
                                            {"serial_number_raw", "PT1                     "},
                                            {"mac_address", kOtherMac},
                                            {"mac_address_colons", "0c:4e:29:ab:cd:ef"},
                                            {"status", 0}}));
        EXPECT_EQ(read_file(dir.file(out)), padded);
    }
}

TEST(vpd_tool, set_refuses_bad_values_an_existing_output_and_images_that_cannot_take_them) {
    struct refusal_case {
        const char* what;
        std::vector<std::string> args;  // before FILE OUT
        std::function<void(std::vector<uint8_t>&)> change_image;
        int status;
        std::string message;
    };
    const auto same = [](std::vector<uint8_t>&) {};
    const std::vector<std::string> sn_mac = {"--sn", kOtherSn, "--mac", kOtherMac};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const refusal_case cases[] = {
        {"part number too long", with({"--pn", "1102005SIMA000011"}, sn_mac), same, 2,
         "romwright-vpd: --pn '1102005SIMA000011': the part number must be 1 to 16 printable ASCII characters\n"},
        {"part number with a control byte", with({"--pn", "110\t1"}, sn_mac), same, 2,
         "romwright-vpd: --pn '110\\x091': the part number must be 1 to 16 printable ASCII characters\n"},
        {"empty part number", with({"--pn", ""}, sn_mac), same, 2,
         "romwright-vpd: --pn '': the part number must be 1 to 16 printable ASCII characters\n"},
        {"all-blank part number", with({"--pn", " "}, sn_mac), same, 2,
         "romwright-vpd: --pn ' ': the part number must not be all blanks\n"},
        {"all-blank serial number", {"--pn", kOtherPn, "--sn", "   ", "--mac", kOtherMac}, same, 2,
         "romwright-vpd: --sn '   ': the serial number must not be all blanks\n"},
        {"serial number too long", {"--pn", kOtherPn, "--sn", "REOTHER000000000000999990", "--mac", kOtherMac},
         same, 2,
         "romwright-vpd: --sn 'REOTHER000000000000999990': the serial number must be 1 to 24 printable ASCII "
         "characters\n"},
        {"MAC address too short", {"--pn", kOtherPn, "--sn", kOtherSn, "--mac", "0C4E29ABCDE"}, same, 2,
         "romwright-vpd: --mac '0C4E29ABCDE': the MAC address must be 12 hexadecimal digits, bare or as six pairs "
         "separated by ':' or '-'\n"},
        {"MAC address not hexadecimal", {"--pn", kOtherPn, "--sn", kOtherSn, "--mac", "0C:4E:29:AB:C"}, same, 2,
         "romwright-vpd: --mac '0C:4E:29:AB:C': the MAC address must be 12 hexadecimal digits, bare or as six "
         "pairs separated by ':' or '-'\n"},
        {"MAC address with mixed separators", {"--pn", kOtherPn, "--sn", kOtherSn, "--mac", "0C:4E-29:AB:CD:EF"},
         same, 2,
         "romwright-vpd: --mac '0C:4E-29:AB:CD:EF': the MAC address must be 12 hexadecimal digits, bare or as six "
         "pairs separated by ':' or '-'\n"},
        {"no MAC address", {"--pn", kOtherPn, "--sn", kOtherSn}, same, 2,
         "romwright-vpd: --mac is required (see romwright-vpd --help)\n"},
        {"a blank copy", with({"--pn", kOtherPn}, sn_mac),
         [](std::vector<uint8_t>& e) { std::memset(&e[0x1000], 0xFF, 0x400); }, 1,
         "romwright-vpd: image.bin cannot take the identity: the VPD copy at file offset 0x1000 (4096) does not "
         "begin with the identifier-string tag 0x82 0x10 (it holds 0xff 0xff); nothing was written\n"},
        {"a copy without its NA keyword", with({"--pn", kOtherPn}, sn_mac),
         [](std::vector<uint8_t>& e) { e[0x2000 + 88] = 'X'; }, 1,
         "romwright-vpd: image.bin: the VPD copy at file offset 0x2000 has no NA keyword of 12 bytes at offset 90, "
         "where the identity goes; nothing was written\n"},
        // Its checksum would be fixed, the copy still not good.
        {"a copy without its end tag", with({"--pn", kOtherPn}, sn_mac),
         [](std::vector<uint8_t>& e) { std::memset(&e[0x1000 + 106], 0x00, 0x400 - 106); }, 1,
         "romwright-vpd: image.bin: with the identity set, the VPD copy at file offset 0x1000 (copy 3) is not good "
         "(no end tag inside the copy); nothing was written\n"},
    };
    for (const refusal_case& k : cases) {
        SCOPED_TRACE(k.what);
        temp_dir dir;
        std::vector<uint8_t> image = sample_board();
        k.change_image(image);
        write_file(dir.file("image.bin"), image);
        std::vector<std::string> args = {"set"};
        args.insert(args.end(), k.args.begin(), k.args.end());
        args.push_back("image.bin");
        args.push_back("out.bin");
        const run_result r = run_vpd_tool(args, dir.path());
        EXPECT_EQ(r.status, k.status);
        EXPECT_EQ(r.out, k.message);
        EXPECT_NE(access(dir.file("out.bin").c_str(), F_OK), 0);
        EXPECT_EQ(read_file(dir.file("image.bin")), image);
    }

    // An existing OUT is never written, even when it is FILE itself.
    temp_dir dir;
    write_file(dir.file("image.bin"), sample_board());
    write_text(dir.file("out.bin"), "keep me");
    for (const char* out : {"out.bin", "image.bin"}) {
        const run_result r = run_vpd_tool(
            {"set", "--pn", kOtherPn, "--sn", kOtherSn, "--mac", kOtherMac, "image.bin", out}, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, std::string("romwright-vpd: ") + out + " already exists; it is never overwritten\n");
    }
    EXPECT_EQ(read_text(dir.file("out.bin")), "keep me");
    EXPECT_EQ(read_file(dir.file("image.bin")), sample_board());
}

// Words out of place, and options whose value is the next option, are
// refused before any file is read.
TEST(vpd_tool, set_refuses_extra_and_misplaced_words_and_missing_values) {
    struct word_case {
        std::vector<std::string> args;
        std::string message;  // without "romwright-vpd: " and the line end
    };
    const std::vector<std::string> id = {"--pn", kOtherPn, "--sn", kOtherSn, "--mac", kOtherMac};
    auto set_with = [&](std::vector<std::string> before, std::vector<std::string> after) {
        before.push_back("set");
        before.insert(before.end(), id.begin(), id.end());
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    const std::string not_with_set =
        "' does not belong with set, which takes its options, FILE and OUT and nothing else (see romwright-vpd "
        "--help)";
    const word_case cases[] = {
        {set_with({}, {"image.bin", "out.bin", "extra"}),
         "The following argument was not expected: extra (see romwright-vpd --help)"},
        {set_with({}, {"image.bin", "out.bin", "--", "extra"}), "'extra" + not_with_set},
        {set_with({"image.bin"}, {"image.bin", "out.bin"}), "'image.bin" + not_with_set},
        {{"set", "--pn", kOtherPn, "--sn", "--mac", kOtherMac, "image.bin", "out.bin"},
         "--sn needs a value; '--mac' is taken for another option (see romwright-vpd --help)"},
    };
    temp_dir dir;
    write_file(dir.file("image.bin"), sample_board());
    for (const word_case& k : cases) {
        SCOPED_TRACE(k.message);
        const run_result r = run_vpd_tool(k.args, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "romwright-vpd: " + k.message + "\n");
        EXPECT_NE(access(dir.file("out.bin").c_str(), F_OK), 0);
    }
    // --json taken for the part number: refused, and as JSON, since it was
    // asked for.
    const run_result r = run_vpd_tool(
        {"set", "--pn", "--json", "--sn", kOtherSn, "--mac", kOtherMac, "image.bin", "out.bin"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(json::parse(r.out),
              (json{{"schema_version", 5},
                    {"error", "romwright-vpd: --pn needs a value; '--json' is taken for another option (see "
                              "romwright-vpd --help)"},
                    {"status", 2}}));
    EXPECT_NE(access(dir.file("out.bin").c_str(), F_OK), 0);
}

// Nothing on standard output arrives: status 2 and a note on standard
// error, whatever the run's own result.
TEST(vpd_tool, output_that_cannot_be_written_is_a_failure) {
    temp_dir dir;
    write_file(dir.file("board.bin"), sample_board());
    std::vector<uint8_t> faulty = sample_board();
    faulty[0x400 + 30] ^= 1;
    write_file(dir.file("faulty.bin"), faulty);
    const std::vector<std::vector<std::string>> runs = {
        {"board.bin"},
        {"--json", "board.bin"},
        {"faulty.bin"},
        {"set", "--pn", kOtherPn, "--sn", kOtherSn, "--mac", kOtherMac, "board.bin", "out.bin"},
    };
    for (const std::vector<std::string>& args : runs) {
        SCOPED_TRACE(args.front() + " " + args.back());
        const run_result r = run_vpd_tool_into_full_device(args, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "romwright-vpd: standard output could not be written: No space left on device\n");
    }
}

TEST(list, shows_the_simulated_functions_and_whether_a_run_holds_them) {
    board b;
    run_result r = b.run({"list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0000:04:00.0  1e2c:8001  BAR0 0x3fe080000000  driver none  not in use\n");

    // Another run holds the adapter: one lock for the EEPROM file.
    mkdir(b.file("locks").c_str(), 0700);
    const int fd = open(b.lock().c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const std::vector<std::string> devices = {"--device", "0000:04:00.0", "--device", "0030:01:00.1"};
    r = b.run({"list"}, devices);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0000:04:00.0  1e2c:8001  BAR0 0x3fe080000000  driver none  in use by another romwright run\n"
                     "0030:01:00.1  1e2c:8001  BAR0 0x3fe080000000  driver none  in use by another romwright run\n");
    r = b.run({"list", "-json"}, devices);
    close(fd);
    EXPECT_EQ(r.status, 0);
    const json doc = json::parse(r.out);
    ASSERT_EQ(doc["adapters"].size(), 2u);
    EXPECT_EQ(doc["adapters"][1], (json{{"address", "0030:01:00.1"},
                                        {"vendor", "1e2c"},
                                        {"device", "8001"},
                                        {"bar0", "0x3fe080000000"},
                                        {"driver", nullptr},
                                        {"in_use", true}}));
    EXPECT_EQ(doc["status"], 0);

    // Free again, but a change on it did not finish: list says so.
    ASSERT_EQ(b.run({"-b", "04:00.0", "clearinit"}, {"--power-loss", "3"}).status, 137);
    r = b.run({"list"});
    EXPECT_EQ(r.out, "0000:04:00.0  1e2c:8001  BAR0 0x3fe080000000  driver none  not in use; a change did not finish: "
                     "`clearinit`, begun 2027-01-15T08:00:00Z\n");
    r = b.run({"list", "-json"});
    EXPECT_EQ(json::parse(r.out)["adapters"][0]["interrupted"]["command"], "clearinit");
}

// Under -json with vpd or list, standard output is one JSON document
// whatever happens; failures keep their statuses.  A failure before any
// adapter was opened is {"error", "status"}; one on an adapter names the
// command and the adapter too.
TEST(json_output, failures_are_one_json_error_with_the_usual_status) {
    struct failure_case {
        std::vector<std::string> words, sim_opts;
        int status;
        std::string error;  // the message, or its beginning when it ends in "..."
        bool on_adapter = false;
    };
    const failure_case cases[] = {
        {{"vpd", "-json"}, {}, 1, "Please specify the bus:device:function number using -b option"},
        {{"-json", "-b", "05:00.0", "vpd"}, {}, 1, "Unable to find device  1e2c:*"},
        {{"-b", "04:00.0", "dump", "-json", "-addr", "2", "-len", "4"}, {}, 1, "Error: -addr 0x2 must be multiple of 4"},
        {{"-b", "04:00.0", "vpd", "-json", "-len"}, {}, 255, expected_usage() + "'-len' requires an argument"},
        {{"-b", "04:00.0", "-json", "vpd"}, {"--frozen"}, 1, "ERROR: the adapter did not answer at EEPROM address 0x0400...",
         true},
        {{"-b", "04:00.0", "vpd", "-json"}, {"--device", "0000:04:00.0", "--device", "0001:04:00.0"}, 1,
         "ERROR: 2 PCI functions match -b 04:00.0:..."},
    };
    for (const failure_case& k : cases) {
        SCOPED_TRACE(k.error);
        board b;
        const run_result r = b.run(k.words, k.sim_opts);
        EXPECT_EQ(r.status, k.status);
        json doc = json::parse(r.out);  // throws unless the whole output is one document
        if (k.on_adapter) {
            EXPECT_EQ(doc["command"], "vpd");
            EXPECT_EQ(doc["adapter"], "0000:04:00.0");
            EXPECT_EQ(doc["via"], "registers");
            EXPECT_EQ(doc["copies_read"], 0);
            for (const char* key : {"command", "adapter", "via", "copies_read"})
                doc.erase(key);
        }
        EXPECT_EQ(doc["schema_version"], 5);
        doc.erase("schema_version");
        ASSERT_EQ(doc.size(), 2u);
        EXPECT_EQ(doc["status"], k.status);
        const std::string error = doc["error"];
        if (k.error.size() > 3 && k.error.compare(k.error.size() - 3, 3, "...") == 0)
            EXPECT_EQ(error.substr(0, k.error.size() - 3), k.error.substr(0, k.error.size() - 3));
        else
            EXPECT_EQ(error, k.error);
    }
}

TEST(json_output, warnings_go_to_standard_error) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "-len", "2", "dump", "-json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(json::parse(r.out)["status"], 0);
    EXPECT_EQ(r.err, "You entered  -len 2. Value must be greater than 4 (0x4)\n");
}

}  // namespace
