// Several adapters in one run: each in its own session, its lines prefixed
// and whole, one JSON document for all, one failing adapter failing alone.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

// Three devices on EEPROM files of their own, one more function on the
// shared one, and one function of the first device again.
std::vector<std::string> host_of(const board& b) {
    return {"--device", "04:00.0", "--device", "04:00.1", "--device", "05:00.0=" + b.file("five.bin"),
            "--device", "06:00.0=" + b.file("six.bin")};
}

TEST(fleet, every_adapter_is_written_in_its_own_session_with_its_own_identity) {
    board b;
    std::vector<uint8_t> other = sample_board();
    for (uint32_t c = 0; c < kCopies; ++c)
        set_identity(&other[0x400 + 0x400 * c], kOtherPn, kOtherSn, kOtherMac);
    write_file(b.file("six.bin"), other);
    write_file(b.file("img.bin"), changed_full_image());
    const run_result r = b.run({"-b", "all", "write", "-f:img.bin"}, host_of(b));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // One function per device; every line whole and prefixed.
    for (const std::string& line : lines_of(r.out)) {
        const bool known = line.rfind("0000:04:00.0: ", 0) == 0 || line.rfind("0000:05:00.0: ", 0) == 0 ||
                           line.rfind("0000:06:00.0: ", 0) == 0;
        EXPECT_TRUE(known) << line;
    }
    const std::string done = "Doing full chip reset...Done";
    size_t resets = 0;
    for (size_t p = 0; (p = r.out.find(done, p)) != std::string::npos; ++p)
        ++resets;
    EXPECT_EQ(resets, 3u);
    // Each board keeps its own identity; the image file is never changed.
    EXPECT_EQ(b.contents(), flashed(with_board_identity(changed_full_image()), sample_board()));
    EXPECT_EQ(read_file(b.file("five.bin")), flashed(with_board_identity(changed_full_image()), sample_board()));
    const std::vector<uint8_t> six = read_file(b.file("six.bin"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&six[0x800 + 63]), 24), kOtherSn);
    EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
}

TEST(fleet, one_failing_adapter_fails_alone_and_the_json_holds_every_result) {
    board b;
    write_file(b.file("six.bin"), sample_board());
    // Another run holds 0000:06:00.0 (its own EEPROM file, its own lock).
    mkdir(b.file("locks").c_str(), 0700);
    const int fd = ::open(b.lock_of(b.file("six.bin")).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const run_result r =
        b.run({"-b", "06:00.0", "-b", "04:00.0", "-b", "07:00.0", "-json", "-changed", "restore", "saved.bin"},
              host_of(b));
    close(fd);
    EXPECT_EQ(r.status, 255);  // saved.bin missing: refused before any adapter
    write_file(b.file("saved.bin"), sample_board());
    const int lock = ::open(b.lock_of(b.file("six.bin")).c_str(), O_RDWR);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const run_result j =
        b.run({"-b", "06:00.0", "-b", "04:00.0", "-b", "07:00.0", "-json", "clearinit"}, host_of(b));
    close(lock);
    EXPECT_EQ(j.status, 1);
    const json doc = json::parse(j.out);
    EXPECT_EQ(doc["status"], 1);
    ASSERT_EQ(doc["adapters"].size(), 3u);
    EXPECT_EQ(doc["adapters"][0]["adapter"], "0000:04:00.0");
    EXPECT_EQ(doc["adapters"][0]["status"], 0);
    EXPECT_EQ(doc["adapters"][0]["changed"], true);
    EXPECT_EQ(doc["adapters"][1]["adapter"], "0000:06:00.0");
    EXPECT_EQ(doc["adapters"][1]["status"], 1);
    EXPECT_NE(doc["adapters"][1]["error"].get<std::string>().find("in use by another romwright run"),
              std::string::npos);
    EXPECT_EQ(doc["adapters"][2]["adapter"], "07:00.0");
    EXPECT_EQ(doc["adapters"][2]["error"], "Unable to find device  1e2c:*");
    EXPECT_NE(j.err.find("romwright: no adapter function at -b 07:00.0; 'romwright list' shows the adapters of this "
                         "host\n"),
              std::string::npos)
        << j.err;
    EXPECT_EQ(read_file(b.file("six.bin")), sample_board());
}

TEST(fleet, read_saves_one_file_per_adapter) {
    board b;
    const run_result r = b.run({"-b", "04:00.0", "-b", "05:00.0", "read", "saved.bin"}, host_of(b));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(b.file("saved.0000-04-00.0.bin")).size(), 0x8000u);
    EXPECT_EQ(read_file(b.file("saved.0000-05-00.0.bin")).size(), 0x8000u);
    EXPECT_NE(r.out.find("0000:05:00.0: Wrote those bytes to binary file saved.0000-05-00.0.bin\n"), std::string::npos)
        << r.out;
}

// Several adapters never write through each other: each adapter's read file
// gets the checks of a single read's, the same address given twice is one
// adapter, and so are two functions of one device.
TEST(fleet, adapters_never_write_through_each_other) {
    {
        // 04:00.0's own read file under -b all is 05:00.0's EEPROM file.
        board b;
        std::vector<uint8_t> other = sample_board();
        for (uint32_t c = 0; c < kCopies; ++c)
            set_identity(&other[0x400 + 0x400 * c], kOtherPn, kOtherSn, kOtherMac);
        const std::string five = b.file("m.0000-04-00.0.bin");
        write_file(five, other);
        const run_result r =
            b.run({"-b", "all", "read", "m.bin"}, {"--device", "04:00.0", "--device", "05:00.0=" + five});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("0000:04:00.0: ERROR: m.0000-04-00.0.bin is the simulated adapter's EEPROM file"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(read_file(five), other);
        EXPECT_EQ(slice(read_file(b.file("m.0000-05-00.0.bin")), 0, 0x7FFC), slice(other, 0, 0x7FFC));
    }
    {
        // The same address twice: one adapter, and one file, never a name of
        // several adapters' (here a link to the EEPROM file).
        board b;
        ASSERT_EQ(symlink(b.eeprom().c_str(), b.file("r.0000-04-00.0.bin").c_str()), 0);
        const run_result r = b.run({"-b", "04:00.0", "-b", "04:00.0", "read", "r.bin"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Read 0x8000 bytes from serial eeprom starting at address 0x0.\n"
                         "Wrote those bytes to binary file r.bin\n");
        EXPECT_EQ(read_file(b.file("r.bin")).size(), 0x8000u);
        EXPECT_EQ(b.contents(), sample_board());
    }
    {
        // Two functions of one device share its EEPROM and its lock.
        board b;
        const run_result r =
            b.run({"-b", "04:00.0", "-b", "04:00.1", "clearinit"}, {"--device", "04:00.0", "--device", "04:00.1"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("in use"), std::string::npos) << r.out;
        EXPECT_EQ(lines_of(r.out).size(), 4u) << r.out;  // one adapter's erase
    }
}

}  // namespace
