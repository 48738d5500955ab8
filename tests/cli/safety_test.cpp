// Register traffic and the safety rules end to end: the microprocessor held
// around every write, adapters that do not answer, ambiguous addresses, the
// adapter lock and signals during a flash.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

const char kDone[] = "Doing full chip reset...Done\n";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The microprocessor released and the chip reset: the last three accesses.
const std::string kReleaseAndReset = "R 0x07b00 0x00000011\nW 0x07b00 0x00000010\nW 0x19428 0x00000003\n";

// The end of a (possibly very long) trace file, as long as kReleaseAndReset.
std::string trace_end(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg(), n = static_cast<std::streamoff>(kReleaseAndReset.size());
    in.seekg(size > n ? size - n : 0);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> init_image() {
    std::vector<uint8_t> init(0x400);
    for (size_t i = 0; i < init.size(); ++i)
        init[i] = static_cast<uint8_t>(0xFF - i);
    return init;
}

TEST(safety, dump_of_one_word_makes_exactly_these_accesses) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n0000:  52 57 2d 53" + std::string(36, ' ') + "  RW-S\n");
    // VPD timer off, then one word read through the backdoor (VPD address
    // 0x7c00, flag ready at the first poll).
    EXPECT_EQ(b.trace_text(),
              "R 0x03018 0x01f40c35\n"
              "W 0x03018 0x00000c35\n"
              "W 0x03060 0x4f0000d0\n"
              "W 0x03064 0x7c000000\n"
              "W 0x03060 0x4f0000d0\n"
              "R 0x03064 0xfc000003\n"
              "W 0x03060 0x4f0000d4\n"
              "R 0x03064 0x532d5752\n");
}

TEST(safety, write_holds_the_microprocessor_around_every_eeprom_write) {
    board b;
    write_file(b.file("init.bin"), init_image());
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-finit:init.bin"}).status, 0);
    const std::vector<std::string> t = lines_of(b.trace_text());
    // EEPROM word writes are the VPD address dword written with the flag set.
    std::vector<size_t> writes, up_writes;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i - 1] == "W 0x03060 0x4f0000d0" && starts_with(t[i], "W 0x03064 0x") && t[i][12] >= '8')
            writes.push_back(i);
        if (starts_with(t[i], "W 0x07b00"))
            up_writes.push_back(i);
    }
    ASSERT_EQ(writes.size(), 256u);
    // Held once before the first write (power-on value 0x10), released once
    // after the last, then the chip reset ends the run.
    ASSERT_EQ(up_writes.size(), 2u);
    EXPECT_EQ(t[up_writes[0] - 1], "R 0x07b00 0x00000010");
    EXPECT_EQ(t[up_writes[0]], "W 0x07b00 0x00000011");
    EXPECT_LT(up_writes[0], writes.front());
    EXPECT_GT(up_writes[1], writes.back());
    EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
}

TEST(safety, an_adapter_that_does_not_answer_ends_with_status_1) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "-len", "4"}, {"--stall", "vpd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: the adapter did not answer: the VPD read of EEPROM address 0x0000 did not complete "
                     "within 2 seconds\n");

    r = b.run({"-b", "04:00.0", "-len", "4"}, {"--frozen"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(starts_with(r.out, "ERROR: the adapter did not answer at EEPROM address 0x0000: ")) << r.out;
    EXPECT_EQ(lines_of(r.out).size(), 1u);

    // A frozen slot is noticed while the EEPROM is read before the change,
    // before the image file or the microprocessor is touched.
    write_file(b.file("img.bin"), changed_full_image());
    r = b.run({"-b", "04:00.0", "write", "-f:img.bin"}, {"--frozen"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(starts_with(r.out, "ERROR: the adapter did not answer at EEPROM address 0x0000: ")) << r.out;
    EXPECT_EQ(lines_of(r.out).size(), 1u);
    EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
    EXPECT_EQ(b.trace_text().find("W 0x19428"), std::string::npos);
    EXPECT_EQ(b.contents(), sample_board());
}

TEST(safety, a_stalled_write_releases_the_microprocessor_before_the_error) {
    board b;
    write_file(b.file("init.bin"), init_image());
    run_result r = b.run({"-b", "04:00.0", "write", "-finit:init.bin"}, {"--stall", "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, identity_lines() + "Read 0x400 bytes from file init.bin\n" + kDone +
                         "ERROR: the adapter did not answer: the EEPROM still reported busy 2 seconds after the "
                         "write to EEPROM address 0x0000\n");
    EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
}

TEST(safety, an_ambiguous_address_touches_no_register) {
    board b;
    const std::vector<std::string> two = {"--device", "0000:04:00.0", "--device", "0001:04:00.0"};
    run_result r = b.run({"-b", "04:00.0", "clearinit"}, two);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: 2 PCI functions match -b 04:00.0:\n  0000:04:00.0\n  0001:04:00.0\n"
                     "Name one with its domain, for example: -b 0000:04:00.0\n");
    EXPECT_EQ(b.trace_text(), "");
    EXPECT_EQ(b.contents(), sample_board());

    r = b.run({"-b", "0001:04:00.0", "clearinit"}, two);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(b.trace_text(), "");
    EXPECT_NE(b.contents(), sample_board());
}

TEST(safety, a_reader_that_goes_away_does_not_stop_a_flash) {
    // The first output reaches the pipe with the first progress line, in the
    // middle of the flash, when nobody reads it any more.
    board b;
    const std::vector<uint8_t> before = b.contents();
    write_file(b.file("img.bin"), changed_full_image());
    run_result r = run_sim({"--eeprom", b.eeprom(), "--trace", b.trace()}, {"-b", "04:00.0", "write", "-f:img.bin"},
                           b.file(""), true);
    // The whole image is written and the chip reset, whatever the lost
    // output does to the process afterwards.
    EXPECT_TRUE(r.status == 0 || r.status == 128 + SIGPIPE) << r.status;
    EXPECT_EQ(b.contents(), flashed(with_board_identity(changed_full_image()), before));
    EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
}

TEST(safety, a_second_run_on_a_locked_adapter_is_refused) {
    board b;
    int fd = open(b.eeprom().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    run_result r = b.run({"-b", "04:00.0", "clearinit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: the adapter at 0000:04:00.0 is in use by another romwright run; try again when it "
                     "has finished\n");
    EXPECT_EQ(b.trace_text(), "");
    EXPECT_EQ(b.contents(), sample_board());
    close(fd);

    r = b.run({"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 0);
}

TEST(safety, a_signal_during_a_flash_is_acted_on_after_the_chip_reset) {
    struct signal_case {
        std::string raise, name;
        int status;
    };
    const std::vector<signal_case> cases = {{"TERM:5", "SIGTERM (signal 15)", 143},
                                            {"INT:200", "SIGINT (signal 2)", 130},
                                            {"HUP:1", "SIGHUP (signal 1)", 129}};
    for (const signal_case& c : cases) {
        SCOPED_TRACE(c.raise);
        board b;
        write_file(b.file("init.bin"), init_image());
        run_result r = b.run({"-b", "04:00.0", "write", "-finit:init.bin"}, {"--raise", c.raise});
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, c.status);
        const std::string normal = identity_lines() + "Read 0x400 bytes from file init.bin\n" +
                                   "Wrote those bytes to serial eeprom starting at 0x0\n" + kDone;
        ASSERT_TRUE(starts_with(r.out, normal)) << r.out;
        const std::string last = r.out.substr(normal.size());
        EXPECT_TRUE(starts_with(last, "Interrupted by " + c.name + ": ")) << last;
        EXPECT_EQ(lines_of(last).size(), 1u);
        // The whole image was written all the same.
        EXPECT_EQ(slice(b.contents(), 0, 0x400), init_image());
        EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
    }

    // A dump writes no word, so the signal is never sent.
    board b;
    run_result r = b.run({"-b", "04:00.0", "-len", "4"}, {"--raise", "TERM:1"});
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n0000:  52 57 2d 53" + std::string(36, ' ') + "  RW-S\n");
}

}  // namespace
