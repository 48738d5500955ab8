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
                        "mac_address_colons=\"0c:4e:29:ab:cd:ef\",id_string=\"RW-SIM DUAL 25GB\"} 1\n"),
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

// The value of label in the metrics line of family for address.
std::string label_of(const std::string& text, const std::string& family, const std::string& address,
                     const std::string& label) {
    const size_t line = text.find(family + "{address=\"" + address + "\"");
    const size_t at = text.find("," + label + "=\"", line);
    if (line == std::string::npos || at == std::string::npos || at > text.find('\n', line))
        return "(none)";
    const size_t from = at + label.size() + 3;
    return text.substr(from, text.find('"', from) - from);
}

// One board's padded identity, as every output gives it: the same value
// without its padding, the bytes beside it in JSON, the MAC address's
// colon form beside it too.
TEST(identity_format, json_metrics_and_history_give_each_field_the_same_way) {
    board b;
    const std::string pn = "P999" + std::string(12, ' '), sn = "S1" + std::string(22, ' ');
    write_file(b.eeprom(), board_with(pn, sn, kBoardMac));
    write_file(b.file("img.bin"), changed_full_image());
    const json vpd = json::parse(b.run({"-b", "04:00.0", "-json", "vpd"}).out);
    ASSERT_EQ(b.run({"-b", "04:00.0", "vpd", "-prometheus", "m.prom"}).status, 0);
    const std::string metrics = read_text(b.file("m.prom"));
    const json write = json::parse(b.run({"-b", "04:00.0", "-json", "write", "-f:img.bin"}).out);
    ASSERT_EQ(write["status"], 0) << write;
    const json record = json::parse(lines_of(read_text(b.file("history.jsonl"))).back());
    const json& copy = vpd["copies"][5];
    const json& summary = vpd["summary"];
    const json& before = write["identity_before"];
    const json& held = record["before"]["identity"];
    const auto label = [&](const char* name) { return json(label_of(metrics, "romwright_adapter_info", "0000:04:00.0", name)); };
    struct source {
        const char* what;
        json pn, sn, mac;
    };
    const source sources[] = {
        {"a vpd copy", copy["part_number"], copy["serial_number"], copy["mac_address"]},
        {"the vpd summary", summary["part_number"]["value"], summary["serial_number"]["value"],
         summary["mac_address"]["value"]},
        {"a change's identity_before", before["part_number"], before["serial_number"], before["mac_address"]},
        {"the history record", held["pn"], held["sn"], held["mac"]},
        {"the metrics", label("part_number"), label("serial_number"), label("mac_address")},
    };
    for (const source& s : sources) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(s.pn, "P999");
        EXPECT_EQ(s.sn, "S1");
        EXPECT_EQ(s.mac, kBoardMac);
    }
    // Beside them: the bytes where they differ, and the colon form.
    for (const json& id : {copy, before}) {
        EXPECT_EQ(id["part_number_raw"], pn);
        EXPECT_EQ(id["serial_number_raw"], sn);
        EXPECT_FALSE(id.contains("mac_address_raw"));
        EXPECT_EQ(id["mac_address_colons"], "0c:4e:29:00:00:01");
    }
    EXPECT_EQ(summary["serial_number"]["value_raw"], sn);
    EXPECT_EQ(summary["mac_address"]["value_colons"], "0c:4e:29:00:00:01");
    EXPECT_EQ(label("mac_address_colons"), "0c:4e:29:00:00:01");
    // The write kept the board's identity; an unpadded one has no bytes
    // beside its values.
    EXPECT_EQ(write["identity_after"], before);
    write_file(b.file("other.bin"), changed_full_image());
    const json plain = json::parse(run_program(vpd_path(), {"--json", "other.bin"}, b.file("")).out);
    EXPECT_EQ(plain["copies"][0]["part_number"], kOtherPn) << plain;
    EXPECT_FALSE(plain["copies"][0].contains("part_number_raw"));
    EXPECT_FALSE(plain["summary"]["serial_number"].contains("value_raw"));
}

// The metrics an operator alerts on: the version, each board's image
// digest, and with -metrics-status an exit status that fails only when the
// metrics were not written.
TEST(metrics, give_the_version_and_image_digest_and_may_leave_findings_to_the_alerts) {
    board b;
    std::vector<uint8_t> faulty = sample_board();
    faulty[0x400 + 0x400 * 3 + 30] ^= 1;  // copy 3's checksum bad
    write_file(b.file("five.bin"), faulty);
    const std::vector<std::string> host = {"--device", "04:00.0", "--device", "05:00.0=five.bin"};
    // 04:00.0 written with an image whose skip window, which writes pass
    // over, is not the board's.
    const std::vector<uint8_t> image = changed_full_image();
    write_file(b.file("img.bin"), image);
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-f:img.bin"}, host).status, 0);
    const run_result r = b.run({"-b", "all", "vpd", "-prometheus", "m.prom", "-metrics-status"}, host);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string text = read_text(b.file("m.prom"));
    EXPECT_NE(text.find("romwright_build_info{version=\"" ROMWRIGHT_VERSION "\"} 1\n"), std::string::npos) << text;
    // Each board's digest is the one romwright-vpd digest --held gives of
    // the image it holds; the plain image digest differs where the skip
    // window does.
    const auto digest_of = [&](const char* address) {
        return label_of(text, "romwright_eeprom_image_info", address, "digest");
    };
    const auto tool_digest = [&](const std::vector<std::string>& words) {
        return run_program(vpd_path(), words, b.file("")).out.substr(0, 64);
    };
    EXPECT_NE(b.contents(), image);
    EXPECT_EQ(digest_of("0000:04:00.0"), tool_digest({"digest", "--held", "img.bin"})) << text;
    EXPECT_NE(digest_of("0000:04:00.0"), tool_digest({"digest", "img.bin"}));
    EXPECT_EQ(digest_of("0000:05:00.0"), tool_digest({"digest", "--held", "five.bin"})) << text;
    EXPECT_NE(digest_of("0000:05:00.0"), digest_of("0000:04:00.0"));
    expect_promtool_accepts(b.file("m.prom"), text);
    // Every metric the example alerting rules use is one the file has.
    const std::string rules = read_text(std::string(ROMWRIGHT_SOURCE_DIR) + "/contrib/systemd/romwright-alerts.yml");
    for (size_t at = rules.find("romwright_"); at != std::string::npos; at = rules.find("romwright_", at + 1)) {
        const std::string name = rules.substr(at, rules.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", at) - at);
        EXPECT_NE(text.find("# TYPE " + name + " gauge"), std::string::npos) << name;
    }
    // Without it the findings keep vpd's status; a file not written fails
    // either way.
    EXPECT_EQ(b.run({"-b", "all", "vpd", "-prometheus", "m.prom"}, host).status, 1);
    EXPECT_EQ(b.run({"-b", "all", "vpd", "-prometheus", "nowhere/m.prom", "-metrics-status"}, host).status, 1);
    EXPECT_EQ(b.run({"-b", "04:00.0", "vpd", "-prometheus", "nowhere/m.prom", "-metrics-status"}, host).status, 1);
    EXPECT_EQ(b.run({"-b", "05:00.0", "vpd", "-prometheus", "one.prom", "-metrics-status"}, host).status, 0);
    EXPECT_EQ(b.run({"-b", "05:00.0", "vpd", "-prometheus", "one.prom"}, host).status, 1);
}

// -metrics-status and -v: misspelt, given to a command that does not take
// them, or alone where they would change nothing, refused before the
// adapter is touched; the double-dash form is the option.
TEST(identities, the_metrics_status_and_every_copy_options_are_meant) {
    board b;
    const std::vector<uint8_t> before = b.contents();
    const struct {
        std::vector<std::string> words;
        int status;
        std::string out;  // its start
    } cases[] = {
        {{"vpd", "-metric-status", "-prometheus", "m.prom"}, 255, "ERROR: unknown option '-metric-status'"},
        {{"dump", "-metrics-status"}, 255, "ERROR: -metrics-status goes with vpd, not with dump"},
        {{"vpd", "-metrics-status"}, 255, "ERROR: -metrics-status goes with -prometheus FILE"},
        {{"write", "-f:img.bin", "-v"}, 255, "ERROR: -v goes with vpd, not with write"},
        {{"vpd", "--metrics-status", "--prometheus", "m.prom"}, 0, "Copies 0-13: good, identical"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        const run_result r = b.run(words, {"--stats"});
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u);
        if (c.status != 0) {  // nothing reached a register
            EXPECT_NE(r.err.find("register reads 0, register writes 0;"), std::string::npos);
        }
    }
    EXPECT_EQ(b.contents(), before);
}

}  // namespace
