// Adapters in service: vpd through the kernel's VPD file when a driver is
// bound or the kernel keeps the registers, said in text, JSON and metrics;
// changes refused under a driver with nothing touched.
#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool starts(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

const std::string k_unbind = "  echo 0000:04:00.0 > /sys/bus/pci/drivers/rwnic/unbind\n";
const std::string k_bind = "  echo 0000:04:00.0 > /sys/bus/pci/drivers/rwnic/bind\n";

TEST(in_service, vpd_takes_the_path_the_host_allows_and_says_which) {
    struct path_case {
        const char* what;
        std::vector<std::string> sim_opts, options;
        const char* via;
        int copies_read, status;
    };
    const path_case cases[] = {
        {"nothing in the way", {}, {}, "registers", 14, 0},
        {"a driver bound", {"--driver", "rwnic"}, {}, "kernel", 1, 0},
        {"a locked-down kernel", {"--lockdown", "integrity"}, {}, "kernel", 1, 0},
        {"-via kernel with nothing in the way", {}, {"-via", "kernel"}, "kernel", 1, 0},
        {"-via registers under a driver fails as before", {"--driver", "rwnic"}, {"-via", "registers"}, "registers", 0,
         1},
        {"-via registers under lockdown", {"--lockdown", "confidentiality"}, {"-via", "registers"}, "registers", 0, 1},
    };
    for (const path_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        std::vector<std::string> words = {"-b", "04:00.0", "vpd"};
        words.insert(words.end(), c.options.begin(), c.options.end());
        const bool kernel = std::string(c.via) == "kernel";

        std::vector<std::string> as_json = words;
        as_json.push_back("-json");
        const run_result j = b.run(as_json, c.sim_opts);
        EXPECT_EQ(j.status, c.status) << j.out << j.err;
        const json doc = json::parse(j.out);
        EXPECT_EQ(doc["via"], c.via);
        EXPECT_EQ(doc["copies_read"], c.copies_read);
        if (kernel) {
            EXPECT_EQ(b.trace_text(), "");  // not one register, of any function
            EXPECT_EQ(doc["summary"]["copies"], 1);
            EXPECT_EQ(doc["vpd_file"], "/sys/bus/pci/devices/0000:04:00.0/vpd");
        }

        const run_result t = b.run(words, c.sim_opts);
        EXPECT_EQ(t.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(has(t.out, "Summary: 14 of 14 copies good"), !kernel) << t.out;
            EXPECT_EQ(has(t.out, "Summary: copy 0 good (1 of 14 copies read, through the kernel's VPD file)\n"),
                      kernel);
            EXPECT_EQ(starts(t.out, "Read through the kernel's VPD file /sys/bus/pci/devices/0000:04:00.0/vpd"),
                      kernel);
            EXPECT_EQ(has(t.out, "This is not the full check"), kernel);
            EXPECT_FALSE(has(t.out, "1 of 1 copies good"));
        }

        std::vector<std::string> metrics = words;
        metrics.insert(metrics.end(), {"-prometheus", "-"});
        const run_result m = b.run(metrics, c.sim_opts);
        EXPECT_EQ(m.status, c.status);
        const std::string labels = std::string("{address=\"0000:04:00.0\",via=\"") + c.via + "\"}";
        EXPECT_TRUE(has(m.out, "romwright_vpd_read_success" + labels + (c.status ? " 0\n" : " 1\n"))) << m.out;
        if (c.status == 0) {
            EXPECT_TRUE(has(m.out, "romwright_vpd_copies" + labels + " " + std::to_string(c.copies_read) + "\n"));
        }
    }
}

// The driver's words in the text come from the run: a driver of another
// name, a second function, a lockdown all say their own.
TEST(in_service, the_full_check_is_named_for_the_cause) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "vpd"}, {"--driver", "nic2"});
    EXPECT_TRUE(has(r.out, "as the driver nic2 is bound to 0000:04:00.0: copy 0 only.\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  echo 0000:04:00.0 > /sys/bus/pci/drivers/nic2/unbind\n"
                           "  romwright -b 0000:04:00.0 vpd -via registers\n"
                           "  echo 0000:04:00.0 > /sys/bus/pci/drivers/nic2/bind\n"));
    r = b.run({"-b", "04:00.0", "vpd"}, {"--lockdown", "confidentiality"});
    EXPECT_TRUE(has(r.out, "as the kernel is locked down (mode confidentiality)")) << r.out;
    EXPECT_TRUE(has(r.out, "(-via registers) on a kernel that is not locked down.\n"));
}

TEST(in_service, a_blank_or_faulty_copy_0_is_said_with_what_the_kernel_says) {
    board b;
    std::vector<uint8_t> e = sample_board();
    e[0x400] = 0xFF;
    write_file(b.eeprom(), e);
    run_result r = b.run({"-b", "04:00.0", "vpd"}, {"--driver", "rwnic"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(starts(r.out, "ERROR: copy 0 of the VPD of 0000:04:00.0 is blank or missing, or the kernel cannot "
                              "read it: its VPD file /sys/bus/pci/devices/0000:04:00.0/vpd says: No such device.\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, k_unbind));
    r = b.run({"-b", "04:00.0", "vpd", "-json"}, {"--driver", "rwnic"});
    EXPECT_EQ(r.status, 1);
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["via"], "kernel");
    EXPECT_EQ(doc["copies_read"], 0);
    EXPECT_EQ(doc["reason"], "No such device");
    EXPECT_EQ(doc["driver"], "rwnic");
    EXPECT_EQ(b.trace_text(), "");

    // A copy 0 the kernel sizes but that is faulty: one copy, not good.
    e = sample_board();
    e[0x400 + 30] ^= 1;  // inside the part number: the checksum no longer holds
    write_file(b.eeprom(), e);
    r = b.run({"-b", "04:00.0", "vpd", "-json"}, {"--driver", "rwnic"});
    EXPECT_EQ(r.status, 1);
    doc = json::parse(r.out);
    EXPECT_EQ(doc["copies"][0]["state"], "faulty");
    EXPECT_EQ(doc["copies_read"], 1);
}

TEST(in_service, a_change_under_a_driver_is_refused_with_nothing_touched) {
    const std::vector<std::vector<std::string>> changes = {
        {"write", "-f:img.bin"}, {"restore", "img.bin"}, {"clearinit"}, {"clearvpd"}, {"repair"}};
    for (const auto& change : changes) {
        for (const bool plan : {false, true}) {
            SCOPED_TRACE(change[0] + (plan ? " -plan" : ""));
            board b;
            write_file(b.file("img.bin"), changed_full_image());
            std::vector<std::string> words = {"-b", "04:00.0"};
            words.insert(words.end(), change.begin(), change.end());
            if (plan)
                words.push_back("-plan");
            const run_result r = b.run(words, {"--driver", "rwnic", "--stats"});
            EXPECT_EQ(r.status, 1);
            const std::string refusal = "ERROR: the adapter at 0000:04:00.0 is in service: a kernel driver is bound "
                                        "to 0000:04:00.0 (driver rwnic)";
            EXPECT_TRUE(plan ? starts(r.out, "Plan of " + change[0] +
                                                 " on 0000:04:00.0 from the command's range alone, as a kernel "
                                                 "driver is bound to 0000:04:00.0 (driver rwnic) and the EEPROM "
                                                 "cannot be read whole; nothing was changed:\n") &&
                                   has(r.out, refusal + ", so this plan of " + change[0] + " could not be applied")
                             : starts(r.out, refusal + ", and " + change[0] + " would write the EEPROM"))
                << r.out;
            EXPECT_TRUE(has(r.out, k_unbind + "run romwright again, then bind the driver back:\n" + k_bind));
            EXPECT_TRUE(has(r.err, "register reads 0, register writes 0;")) << r.err;
            EXPECT_EQ(b.trace_text(), "");
            EXPECT_EQ(b.contents(), sample_board());
            EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());  // no identity carried into it
        }
    }
    board b;
    const run_result r = b.run({"-b", "04:00.0", "clearinit", "-json"}, {"--driver", "rwnic"});
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["driver"], "rwnic");
    EXPECT_EQ(doc["in_service"], "0000:04:00.0");
    EXPECT_EQ(doc["status"], 1);
}

// -plan where the EEPROM cannot be read whole outlines the command's range:
// the words the plan over the whole EEPROM covers, exactly when every word
// of the range is written, as a bound when only differing ones are.
TEST(in_service, the_plan_under_a_driver_outlines_the_range_the_plan_covers) {
    const std::vector<std::pair<std::vector<std::string>, bool>> changes = {
        {{"write", "-f:img.bin"}, false},    {{"write", "-f:img.bin", "-changed"}, true},
        {{"write", "-finit:init.bin"}, false}, {{"restore", "img.bin", "-force-identity"}, false},
        {{"clearinit", "-addr", "0x400"}, false}, {{"clearvpd"}, false},
        {{"repair"}, true}};
    for (const auto& [change, at_most] : changes) {
        SCOPED_TRACE(change[0] + (at_most ? " (at most)" : ""));
        board b;
        write_file(b.file("img.bin"), changed_full_image());
        write_file(b.file("init.bin"), slice(changed_full_image(), 0, 0x400));
        std::vector<std::string> words = {"-b", "04:00.0", "-plan", "-json"};
        words.insert(words.end(), change.begin(), change.end());
        const run_result w = b.run(words);
        const json whole = json::parse(w.out).value("plan", json());
        ASSERT_TRUE(whole.is_object()) << w.out;
        const run_result r = b.run(words, {"--driver", "rwnic", "--stats"});
        EXPECT_EQ(r.status, 1);
        const json doc = json::parse(r.out), outline = doc["plan"];
        EXPECT_EQ(outline["whole_eeprom_read"], false);
        EXPECT_EQ(outline["at_most"], at_most);
        EXPECT_EQ(outline["words_in_range"], whole["words_in_range"]);
        EXPECT_EQ(outline["words_to_write"], at_most ? whole["words_in_range"] : whole["words_to_write"]);
        if (!at_most) {
            EXPECT_EQ(outline["regions"], whole["regions"]);
        }
        EXPECT_TRUE(outline["copies_changing"].is_null());  // not known, rather than none
        EXPECT_EQ(doc["via"], "kernel");
        EXPECT_EQ(doc["copies_read"], 1);
        EXPECT_EQ(doc["copy0"]["state"], "good");
        EXPECT_EQ(doc["copy0"]["identity"]["serial_number"], kBoardSn);
        EXPECT_EQ(doc["driver"], "rwnic");
        EXPECT_TRUE(has(r.err, "register reads 0, register writes 0;")) << r.err;
        EXPECT_EQ(b.contents(), sample_board());
    }
}

TEST(in_service, the_outline_says_why_and_what_the_kernel_shows_of_copy_0) {
    board b;
    // A locked-down kernel: the outline, then the refused /dev/mem.
    run_result r = b.run({"-b", "04:00.0", "clearinit", "-plan"}, {"--lockdown", "integrity", "--stats"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(starts(r.out, "Plan of clearinit on 0000:04:00.0 from the command's range alone, as the kernel is "
                              "locked down (mode integrity) and keeps /dev/mem closed"))
        << r.out;
    EXPECT_TRUE(has(r.out, "  VPD copy 0, as the kernel's VPD file /sys/bus/pci/devices/0000:04:00.0/vpd shows it: "
                           "good; part number "))
        << r.out;
    EXPECT_TRUE(has(r.out, "\nERROR: cannot open /dev/mem")) << r.out;
    EXPECT_TRUE(has(r.err, "register reads 0, register writes 0;")) << r.err;
    // A blank copy 0 under a driver: what the kernel said; -changed bounds.
    std::vector<uint8_t> e = sample_board();
    e[0x400] = 0xFF;
    write_file(b.eeprom(), e);
    write_file(b.file("img.bin"), changed_full_image());
    r = b.run({"-b", "04:00.0", "write", "-f:img.bin", "-changed", "-plan"}, {"--driver", "rwnic"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "  words to write: at most 8136 of 8136\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  VPD copy 0 not read: the kernel's VPD file /sys/bus/pci/devices/0000:04:00.0/vpd "
                           "says: No such device\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "  projected hardware time: at most ")) << r.out;
    EXPECT_EQ(b.contents(), e);
}

TEST(in_service, several_adapters_skip_those_in_service_and_say_so) {
    board b;
    const std::vector<std::string> two = {"--device", "04:00.0", "--device", "05:00.0=five.bin", "--driver", "rwnic"};
    run_result r = b.run({"-b", "all", "-nobackup", "clearinit"}, two);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "Skipped 2 adapters in service, a kernel driver bound, nothing changed on them: "
                           "0000:04:00.0 (driver rwnic), 0000:05:00.0 (driver rwnic)\n"))
        << r.out;
    EXPECT_EQ(b.contents(), sample_board());
    EXPECT_EQ(read_file(b.file("five.bin")), sample_board());
    r = b.run({"-b", "all", "-nobackup", "clearinit", "-json"}, two);
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["skipped"], json::array({"0000:04:00.0", "0000:05:00.0"}));
    EXPECT_EQ(doc["status"], 1);
    // Reads go on through the kernel, and the boards' identities are
    // compared: both hold the sample board's.
    r = b.run({"-b", "all", "vpd", "-json"}, two);
    EXPECT_EQ(r.status, 1) << r.out;
    doc = json::parse(r.out);
    for (const json& one : doc["adapters"]) {
        EXPECT_EQ(one["via"], "kernel");
        EXPECT_EQ(one["status"], 0);
    }
    EXPECT_EQ(doc["duplicates"].size(), 2u);
    EXPECT_FALSE(doc.contains("skipped"));
}

TEST(in_service, via_goes_with_vpd_and_takes_two_words) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "dump", "-via", "kernel"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r.out, "-via goes with vpd, not with dump")) << r.out;
    r = b.run({"-b", "04:00.0", "vpd", "-via", "sysfs"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r.out, "ERROR: -via takes kernel or registers, not 'sysfs'\n")) << r.out;
}

}  // namespace
