// The identities of several boards of one host compared by vpd, and vpd
// -prometheus: the metrics file, replaced whole, that promtool accepts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

std::vector<uint8_t> board_with(const std::string& pn, const std::string& sn, const std::string& mac) {
    std::vector<uint8_t> img = sample_board();
    for (uint32_t c = 0; c < kCopies; ++c)
        set_identity(&img[0x400 + 0x400 * c], pn.c_str(), sn.c_str(), mac.c_str());
    return img;
}

std::vector<uint8_t> blank_board() {
    std::vector<uint8_t> img = sample_board();
    std::fill(img.begin() + 0x400, img.begin() + 0x4400, 0xFF);
    return img;
}

// 04:00.0 and 04:00.1: the sample board (one device); 05:00.0: its MAC
// address with another serial number; 06:00.0: that serial number with a
// MAC address of its own; 07:00.0 and 08:00.0: blank.
std::vector<std::string> host_of(const board& b) {
    write_file(b.file("five.bin"), board_with(kOtherPn, kOtherSn, kBoardMac));
    write_file(b.file("six.bin"), board_with(kOtherPn, kOtherSn, kOtherMac));
    write_file(b.file("seven.bin"), blank_board());
    write_file(b.file("eight.bin"), blank_board());
    return {"--device", "04:00.0", "--device", "04:00.1", "--device", "05:00.0=five.bin",
            "--device", "06:00.0=six.bin", "--device", "07:00.0=seven.bin", "--device", "08:00.0=eight.bin"};
}

// Several adapters' lines, whole but in the order their threads finished.
std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines = lines_of(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(identities, shared_mac_and_serial_fail_vpd_and_blank_boards_are_named_apart) {
    board b;
    const std::vector<std::string> host = host_of(b);
    const run_result r = b.run({"-b", "all", "vpd", "-json"}, host);
    EXPECT_EQ(r.status, 1) << r.err;
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["status"], 1);
    EXPECT_EQ(doc["adapters"].size(), 5u);  // one function per device
    const json duplicates = json::parse(R"([
        {"field": "mac", "value": "0C4E29000001", "adapters": ["0000:04:00.0", "0000:05:00.0"]},
        {"field": "serial", "value": "REOTHER00000000000099999", "adapters": ["0000:05:00.0", "0000:06:00.0"]}])");
    EXPECT_EQ(doc["duplicates"], duplicates);
    const json blank = json::parse(R"([{"field": "mac", "adapters": ["0000:07:00.0", "0000:08:00.0"]},
                                       {"field": "serial", "adapters": ["0000:07:00.0", "0000:08:00.0"]}])");
    EXPECT_EQ(doc["blank"], blank);
    for (const char* line :
         {"romwright: MAC address 0C4E29000001 on more than one board: 0000:04:00.0, 0000:05:00.0\n",
          "romwright: serial number REOTHER00000000000099999 on more than one board: 0000:05:00.0, 0000:06:00.0\n",
          "romwright: serial number blank (not compared): 0000:07:00.0, 0000:08:00.0\n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;

    // Boards of their own: nothing shared, nothing noted, the text as
    // without the comparison.
    const run_result one = b.run({"-b", "04:00.0", "-b", "06:00.0", "vpd"}, host);
    EXPECT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_EQ(one.err, "");
    EXPECT_EQ(one.out.find("romwright:"), std::string::npos);
    const run_result published =
        b.run({"-b", "04:00.0", "-b", "06:00.0", "vpd", "-prometheus", "m.prom"}, host);
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(sorted_lines(published.out), sorted_lines(one.out));
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

void expect_promtool_accepts(const std::string& prom, const std::string& text) {
#ifdef ROMWRIGHT_PROMTOOL
    // promtool is the build machine's own program: under an emulator (every
    // program started through it) the native run checks the same text.
    const char* emulator = std::getenv("ROMWRIGHT_SIM_EMULATOR");
    if (!emulator || !*emulator) {
        const run_result check =
            run_program("/bin/sh", {"-c", "\"$0\" check metrics < \"$1\"", ROMWRIGHT_PROMTOOL, prom});
        EXPECT_EQ(check.status, 0) << check.out << check.err << text;
    }
#else
    (void)prom;
    (void)text;
    std::fprintf(stderr, "promtool not found when configured: the metrics file was not checked with it "
                         "(scripts/deps test installs Debian's prometheus package)\n");
#endif
}

TEST(metrics, the_file_is_replaced_whole_with_odd_bytes_escaped_and_parses) {
    board b;
    // A serial number with a double quote, a backslash, a line feed and 0xFF.
    const std::string odd_sn = std::string("SN\"q\\b\n\xff") + std::string(16, ' ');
    write_file(b.file("odd.bin"), board_with(kOtherPn, odd_sn, kOtherMac));
    const std::vector<std::string> host = {"--device", "04:00.0", "--device", "05:00.0=odd.bin"};
    ASSERT_EQ(mkdir(b.file("textfile").c_str(), 0755), 0);
    const std::string prom = b.file("textfile/romwright.prom");
    write_text(prom, std::string(8192, '#') + "\n");
    ASSERT_EQ(chmod(prom.c_str(), 0600), 0);
    const int old = ::open(prom.c_str(), O_RDONLY);
    ASSERT_GE(old, 0);

    const run_result plain = b.run({"-b", "all", "vpd"}, host);
    const run_result r = b.run({"-b", "all", "vpd", "-prometheus", "textfile/romwright.prom"}, host);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sorted_lines(r.out), sorted_lines(plain.out));
    const std::string text = read_text(prom);
    EXPECT_NE(text.find("romwright_adapter_info{address=\"0000:05:00.0\",part_number=\"1109999OTHER0002\","
                        "serial_number=\"SN\\\"q\\\\\\\\b\\\\x0a\\\\xff\",mac_address=\"0C4E29ABCDEF\","
                        "id_string=\"RW-SIM DUAL 25GB\"} 1\n"),
              std::string::npos)
        << text;
    for (const char* line : {"romwright_vpd_copies_good{address=\"0000:04:00.0\",via=\"registers\"} 14\n",
                             "romwright_vpd_copies{address=\"0000:05:00.0\",via=\"registers\"} 14\n",
                             "romwright_change_interrupted{address=\"0000:05:00.0\"} 0\n",
                             "romwright_duplicated_identities{field=\"mac\"} 0\n", "# TYPE romwright_vpd_copies gauge\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Renamed into place: the old file is whole under its old descriptor,
    // the new one stands alone, readable by the collector.
    char head[4] = {};
    EXPECT_EQ(pread(old, head, 4, 8000), 4);
    EXPECT_EQ(std::string(head, 4), "####");
    close(old);
    EXPECT_EQ(text.find('#' + std::string(8, '#')), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(prom.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(files_in(b.file("textfile")), std::vector<std::string>{"romwright.prom"});

    expect_promtool_accepts(prom, text);
    // No history file: no last change.
    EXPECT_EQ(text.find("romwright_last_change"), std::string::npos);

    // A file that cannot be written fails the run, standard output untouched;
    // -prometheus goes with vpd only.
    const run_result lost = b.run({"-b", "all", "vpd", "-prometheus", "nowhere/romwright.prom"}, host);
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(sorted_lines(lost.out), sorted_lines(plain.out));
    EXPECT_NE(lost.err.find("romwright: the metrics file nowhere/romwright.prom could not be written"),
              std::string::npos)
        << lost.err;
    const run_result single = b.run({"-b", "05:00.0", "vpd", "-prometheus", "one.prom"}, host);
    EXPECT_EQ(single.status, 0) << single.err;
    EXPECT_NE(read_text(b.file("one.prom"))
                  .find("romwright_vpd_copies_good{address=\"0000:05:00.0\",via=\"registers\"} 14\n"),
              std::string::npos);
    EXPECT_EQ(b.run({"-b", "04:00.0", "dump", "-prometheus", "dump.prom"}, host).status, 255);
    EXPECT_NE(access(b.file("dump.prom").c_str(), F_OK), 0);
}

// With a history file, each adapter's last recorded change: its end and its
// exit status; none for an adapter without one.
TEST(metrics, the_last_change_of_each_adapter_comes_from_the_history) {
    board b;
    const std::vector<std::string> host = {"--device", "04:00.0", "--device", "05:00.0=b.bin", "--device",
                                           "06:00.0=c.bin"};
    write_file(b.file("b.bin"), board_with(kOtherPn, kOtherSn, kOtherMac));
    write_file(b.file("c.bin"), board_with(kOtherPn, "PTSIM0000000000000099999", "0C4E29000099"));
    write_file(b.file("img.bin"), changed_full_image());
    std::vector<uint8_t> other = changed_full_image();
    for (uint32_t i = 0; i < kCopies; ++i)
        std::memcpy(&other[0x400 + 0x400 * i + 3], "OTHER BOARD 10GB", 16);
    write_file(b.file("other.bin"), other);
    ASSERT_EQ(b.run({"-b", "05:00.0", "write", "-f:img.bin"}, host).status, 0);
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-f:img.bin"}, host).status, 0);
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-f:other.bin"}, host).status, 1);  // refused, recorded last

    ASSERT_EQ(b.run({"-b", "all", "vpd", "-prometheus", "m.prom"}, host).status, 0);
    const std::string text = read_text(b.file("m.prom"));
    for (const char* line : {"# TYPE romwright_last_change_timestamp_seconds gauge\n",
                             "romwright_last_change_timestamp_seconds{address=\"0000:04:00.0\"} 1800000000\n",
                             "romwright_last_change_timestamp_seconds{address=\"0000:05:00.0\"} 1800000040\n",
                             "# TYPE romwright_last_change_status gauge\n",
                             "romwright_last_change_status{address=\"0000:04:00.0\"} 1\n",
                             "romwright_last_change_status{address=\"0000:05:00.0\"} 0\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(text.find("romwright_last_change_status{address=\"0000:06:00.0\"}"), std::string::npos) << text;
    expect_promtool_accepts(b.file("m.prom"), text);
}

}  // namespace
