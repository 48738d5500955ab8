// The EEPROM commands end to end on an EEPROM file: files saved by read, EEPROM and image contents after write, verify and the clears.
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

const char kDone[] = "Doing full chip reset...Done\n";
const char kWrote[] = "Wrote those bytes to serial eeprom starting at 0x0\n";

// Splits stdout into its progress lines and the rest.
void split_progress(const std::string& out, std::vector<std::string>* progress, std::string* rest) {
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.find(" bytes of 0x") != std::string::npos)
            progress->push_back(line);
        else
            *rest += line + "\n";
    }
}

TEST(commands, read_saves_the_range) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "read", "all.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Read 0x8000 bytes from serial eeprom starting at address 0x0.\n"
                     "Wrote those bytes to binary file all.bin\n");
    // The last word reads the EEPROM's status (idle), not the file's bytes.
    std::vector<uint8_t> expected = sample_board();
    std::fill(expected.begin() + 0x7FFC, expected.end(), 0);
    EXPECT_EQ(read_file(b.file("all.bin")), expected);

    r = b.run({"-b", "04:00.0", "-addr", "0x100", "-len", "0x10", "read", "part.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Read 0x10 bytes from serial eeprom starting at address 0x100.\n"
                     "Wrote those bytes to binary file part.bin\n");
    EXPECT_EQ(read_file(b.file("part.bin")), slice(sample_board(), 0x100, 0x110));

    write_text(b.file("empty.bin"), "old contents");
    r = b.run({"-b", "04:00.0", "-len", "0", "read", "empty.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "You entered  -len 0. Value must be greater than 4 (0x4)\n"
                     "Read 0x0 bytes from serial eeprom starting at address 0x0.\n"
                     "Wrote those bytes to binary file empty.bin\n");
    EXPECT_EQ(read_text(b.file("empty.bin")), "");

    r = b.run({"-b", "04:00.0", "-len", "16", "read", "nodir/out.bin"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Read 0x10 bytes from serial eeprom starting at address 0x0.\n"
                     "Unable to open file:nodir/out.bin\n");
    EXPECT_EQ(b.contents(), sample_board());
}

// Full, VPD-only and init-only images: written, then verified.  Afterwards
// the image file carries the board's identity (every copy summing to 0
// through its checksum byte) and the EEPROM equals the image except for the
// skip window and the status word, which keep their old bytes.
TEST(commands, images_are_written_with_the_board_identity_and_verify) {
    struct image_case {
        std::string arg, size;       // image argument; its size as printed
        const char* region;          // in the verify line
        std::vector<uint8_t> file, file_after, eeprom_after;
        long first_copy;             // file offset of the first VPD copy, -1: none
        std::vector<std::string> sim_opts;
    };
    const std::vector<uint8_t> sample = sample_board(), full = changed_full_image();
    const std::vector<uint8_t> inserted = with_board_identity(full);
    std::vector<uint8_t> vpd_after = inserted, init(0x400), init_after = sample;
    std::copy(sample.begin(), sample.begin() + 0x400, vpd_after.begin());
    for (size_t i = 0; i < init.size(); ++i)
        init[i] = init_after[i] = static_cast<uint8_t>(i * 13 + 1);
    const std::vector<image_case> cases = {
        {"-f:img.bin", "0x8000", "", full, inserted, flashed(inserted, sample), 0x400, {}},
        // Short enough to pass the run-time check at any speed.
        {"-fvpd:img.bin", "0x7c00", "", slice(full, 0x400, 0x8000), slice(inserted, 0x400, 0x8000),
         flashed(vpd_after, sample), 0, {"--write-cycle-ms", "0"}},
        {"-finit:img.bin", "0x400", "(init)", init, init, init_after, -1, {}},
    };
    for (const image_case& c : cases) {
        SCOPED_TRACE(c.arg);
        board b;
        write_file(b.file("img.bin"), c.file);
        run_result r = b.run({"-b", "04:00.0", "write", c.arg}, c.sim_opts);
        EXPECT_EQ(r.status, 0);
        std::vector<std::string> progress;
        std::string rest;
        split_progress(r.out, &progress, &rest);
        const std::string read_line = "Read " + c.size + " bytes from file img.bin\n";
        EXPECT_EQ(rest, identity_lines() + read_line + kWrote + kDone);
        const std::vector<uint8_t> updated = read_file(b.file("img.bin"));
        EXPECT_EQ(updated, c.file_after);
        for (uint32_t i = 0; c.first_copy >= 0 && i < kCopies; ++i)
            EXPECT_EQ(copy_sum(&updated[static_cast<size_t>(c.first_copy) + 0x400 * i]), 0u) << "copy " << i;
        EXPECT_EQ(b.contents(), c.eeprom_after);
        if (c.size == "0x8000") {
            // 8136 word writes of 5 virtual ms: about 40.7 s, a line every 2 s.
            ASSERT_EQ(progress.size(), 20u) << r.out;
            unsigned last = 0, done = 0;
            for (const std::string& line : progress) {
                ASSERT_EQ(std::sscanf(line.c_str(), "0x%x bytes of 0x8000 written", &done), 1) << line;
                EXPECT_TRUE(done > last + 0x600 && done < last + 0x740 && done % 4 == 0) << line;
                last = done;
            }
        } else {
            EXPECT_EQ(progress.size(), 0u);
        }
        r = b.run({"-b", "04:00.0", "verify", c.arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, identity_lines() + read_line + "Verifying bytes in serial eeprom" + c.region +
                             " starting at 0x0\nVerification Result: PASSED\n" + kDone);
    }
}

TEST(commands, fast_full_write_is_refused_as_run_time_too_short) {
    // The check counts whole seconds of the clock: more than 4 must pass.
    // 8136 cycles of 0.5 ms and the register accesses end in the fifth
    // virtual second (4.2 s), 0.6 ms ones past it (5.0 s).
    for (const char* cycle_ms : {"0", "0.5"}) {
        board b;
        write_file(b.file("img.bin"), changed_full_image());
        run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"}, {"--write-cycle-ms", cycle_ms});
        std::vector<std::string> progress;
        std::string rest;
        split_progress(r.out, &progress, &rest);
        EXPECT_EQ(r.status, 1) << cycle_ms;
        EXPECT_EQ(rest, identity_lines() + "Read 0x8000 bytes from file img.bin\n" +
                            "ERROR: Run time too short! (Run 'romprobe -w 0x7bfc 0'?)\n" + kDone)
            << cycle_ms;
    }
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"}, {"--write-cycle-ms", "0.6"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(std::string("Wrote those bytes to serial eeprom starting at 0x0\n") + kDone), std::string::npos)
        << r.out;
}

TEST(commands, verify_lists_every_differing_word) {
    board b;
    const std::vector<uint8_t> full = changed_full_image();
    write_file(b.file("vpd.bin"), slice(with_board_identity(full), 0x400, 0x8000));

    // Expected: every word of the VPD area except the skip window and the
    // status word, file word against EEPROM word.
    const std::vector<uint8_t> file = with_board_identity(full), eeprom = sample_board();
    auto word = [](const std::vector<uint8_t>& v, uint32_t a) {
        return uint32_t{v[a]} | uint32_t{v[a + 1]} << 8 | uint32_t{v[a + 2]} << 16 | uint32_t{v[a + 3]} << 24;
    };
    std::string mismatches;
    int count = 0;
    for (uint32_t a = 0x400; a < 0x8000; a += 4) {
        if ((a >= kSkipFirst && a < kSkipEnd) || a == 0x7FFC || word(file, a) == word(eeprom, a))
            continue;
        char line[80];
        std::snprintf(line, sizeof line, "Addr:0x%08x, Filedata:0x%08x != EEPROMData:0x%08x\n", a, word(file, a),
                      word(eeprom, a));
        mismatches += line;
        ++count;
    }
    // Per copy the engineering-change word and the checksum word, and the
    // four changed words behind the copies.
    EXPECT_EQ(count, 32);
    run_result r = b.run({"-b", "04:00.0", "verify", "-fvpd:vpd.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, identity_lines() + "Read 0x7c00 bytes from file vpd.bin\n" + mismatches +
                         "Verification Result: FAILED\n" + kDone);
}

TEST(commands, the_last_word_of_a_range_counts_bytewise) {
    board b;
    // A full image of 0x3c02 bytes: the last word's two bytes beyond it
    // keep the EEPROM's values.
    std::vector<uint8_t> image = slice(changed_full_image(), 0, 0x3C02);
    image[0x3C00] = 0x5A;
    image[0x3C01] = 0xA5;
    write_file(b.file("img.bin"), image);
    run_result r = b.run({"-b", "04:00.0", "-len", "0x3c02", "write", "-f:img.bin"}, {"--write-cycle-ms", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, identity_lines() + "Read 0x3c02 bytes from file img.bin\n" + kWrote + kDone);
    const std::vector<uint8_t> sample = sample_board();
    std::vector<uint8_t> expected = flashed(with_board_identity(changed_full_image()), sample);
    std::copy(sample.begin() + 0x3C02, sample.end(), expected.begin() + 0x3C02);
    expected[0x3C00] = 0x5A;
    expected[0x3C01] = 0xA5;
    EXPECT_EQ(b.contents(), expected);
    r = b.run({"-b", "04:00.0", "-len", "0x3c02", "verify", "-f:img.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, identity_lines() + "Read 0x3c02 bytes from file img.bin\n" +
                         "Verifying bytes in serial eeprom starting at 0x0\nVerification Result: PASSED\n" + kDone);

    // The last word of an init-only image is compared too.
    std::vector<uint8_t> init = slice(expected, 0, 0x400);
    init[0x3FF] = 0;
    write_file(b.file("init.bin"), init);
    r = b.run({"-b", "04:00.0", "verify", "-finit:init.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, identity_lines() + "Read 0x400 bytes from file init.bin\n" +
                         "Addr:0x000003fc, Filedata:0x00f5eee7 != EEPROMData:0xfcf5eee7\n" +
                         "Verification Result: FAILED\n" + kDone);
}

TEST(commands, bad_inputs_are_refused_before_the_adapter_is_touched) {
    struct refusal {
        std::vector<std::string> words;
        size_t file_size;  // of img.bin
        int status;
        std::string out;
    };
    const std::string full_msg =
        "Error:  Size of binary file differs from the size of VPD+Init area, expecting a file of size ";
    const std::string vpd_msg = "Error:  Size of binary file differs from the size of VPD area, expecting a file "
                                "of size 31744 bytes\n";
    const std::string init_msg = "Error:  Size of binary file differs from the size of Init area, expecting a file "
                                 "of size 1024 bytes\n";
    const std::vector<refusal> cases = {
        {{"write", "-f:img.bin"}, 32767, 1, full_msg + "32768 bytes\n"},
        {{"verify", "-f:img.bin"}, 32769, 1, full_msg + "32768 bytes\n"},
        {{"-len", "0x1000", "write", "-f:img.bin"}, 0x1001, 1, full_msg + "4096 bytes\n"},
        {{"write", "-fvpd:img.bin"}, 31745, 1, vpd_msg},
        {{"verify", "-fvpd:img.bin"}, 31743, 1, vpd_msg},
        {{"write", "-finit:img.bin"}, 1023, 1, init_msg},
        // Only -len + 1 bytes are read.
        {{"-len", "0x200", "verify", "-finit:img.bin"}, 1024, 1, init_msg},
        {{"write", "-f:missing.bin"}, 32768, 255, "Unable to open file:missing.bin\n"},
        {{"-addr", "4", "-len", "4", "write", "-fvpd:img.bin"}, 31744, 1,
         "Error: VPD image at 0x404 + 0x7c00 must end at or below 0x8000\n"},
        {{"-addr", "0x7c04", "-len", "4", "clearinit"}, 0, 1,
         "Error: Init region at 0x7c04 + 0x400 must end at or below 0x8000\n"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.words.back() + " " + std::to_string(c.file_size));
        board b;
        std::vector<uint8_t> image = changed_full_image();
        image.resize(c.file_size, 0xff);
        write_file(b.file("img.bin"), image);
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        run_result r = b.run(words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(b.trace_text(), "");
        EXPECT_EQ(b.contents(), sample_board());
        EXPECT_EQ(read_file(b.file("img.bin")), image);
    }
}

TEST(commands, clearinit_and_clearvpd_fill_their_regions_with_ff) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "clearinit"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("\nErasing Init region with 0xff\nwriting to Offset 0x0...") + kDone +
                         "Wrote 0x400 bytes\n");
    std::vector<uint8_t> expected = sample_board();
    std::fill(expected.begin(), expected.begin() + 0x400, 0xFF);
    EXPECT_EQ(b.contents(), expected);

    // clearvpd takes no range: one given is refused, never skipped.
    r = b.run({"-b", "04:00.0", "-addr", "0x100", "-len", "4", "clearvpd"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(b.contents(), expected);
    r = b.run({"-b", "04:00.0", "clearvpd"});
    EXPECT_EQ(r.status, 0);
    const unsigned starts[8] = {0x400, 0xc00, 0x1400, 0x1c00, 0x2400, 0x2c00, 0x3400, 0x3c00};
    std::string out;
    for (int n = 0; n < 8; ++n) {
        char line[80];
        std::snprintf(line, sizeof line, "\nErasing VPD region %d with 0xff\nwriting to Offset 0x%x...", n, starts[n]);
        out += std::string(line) + "Wrote 0x800 bytes\n";
    }
    EXPECT_EQ(r.out, out + kDone);
    std::fill(expected.begin() + 0x400, expected.begin() + 0x4400, 0xFF);
    const std::vector<uint8_t> sample = sample_board();
    std::copy(sample.begin() + kSkipFirst, sample.begin() + kSkipEnd, expected.begin() + kSkipFirst);
    EXPECT_EQ(b.contents(), expected);
}

}  // namespace

namespace {

using namespace cli;

// -addr and -len belong to the commands that work on a range; the others
// refuse them before anything is opened.
TEST(commands, a_range_is_checked_only_by_the_commands_that_use_it) {
    board b;
    write_file(b.file("img.bin"), sample_board());
    const std::vector<std::vector<std::string>> refused = {
        {"-addr", "0x400", "vpd"},
        {"-addr", "0x400", "-nobackup", "clearvpd"},
        {"-addr", "0x400", "restore", "img.bin"},
        {"-len", "0x9000", "-addr", "2", "repair"},
    };
    const std::vector<uint8_t> before = b.contents();
    for (const std::vector<std::string>& words : refused) {
        std::vector<std::string> w = {"-b", "04:00.0"};
        w.insert(w.end(), words.begin(), words.end());
        const run_result r = b.run(w);
        EXPECT_EQ(r.status, 255) << words.back() << ": " << r.out;
        EXPECT_EQ(b.contents(), before);
    }
    // clearinit's length is its own: -len is taken and changes nothing.
    EXPECT_EQ(b.run({"-b", "04:00.0", "-addr", "0x1800", "-len", "4", "-nobackup", "clearinit"}).status, 0);
    run_result r = b.run({"-b", "04:00.0", "-addr", "0x400", "dump"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error: -addr 0x400 + -len 0x8000 must be <= 0x8000\n");
    r = b.run({"-b", "04:00.0", "-addr", "0x1802", "clearinit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error: -addr 0x1802 must be multiple of 4\n");
}

}  // namespace
