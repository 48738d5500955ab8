// The real program, run only with adapter addresses that this machine does
// not have: it must look nothing up, or find nothing, and touch no device.
#include <glob.h>

#include "support/support.h"

namespace {

// True when no PCI function at bus 7f, slot 1f, function 7 exists in any
// domain (the three-number -b form matches every domain).
bool absent_address_is_absent() {
    glob_t g;
    int rc = glob("/sys/bus/pci/devices/*:7f:1f.7", 0, nullptr, &g);
    globfree(&g);
    return rc == GLOB_NOMATCH;
}

class real_binary : public ::testing::Test {
protected:
    void SetUp() override {
        if (!absent_address_is_absent())
            GTEST_SKIP() << "this machine has a PCI function at 7f:1f.7; the real program is not run";
    }
    run_result run(const std::vector<std::string>& args) { return run_program(ROMWRIGHT_BIN_PATH, args); }
};

TEST_F(real_binary, absent_adapter_is_reported_with_status_1) {
    run_result r = run({"-b", "7f:1f.7", "dump"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Unable to find device  1e2c:*\n");
    EXPECT_EQ(r.err, "romwright: no adapter function at -b 7f:1f.7; 'romwright list' shows the adapters of this host\n");
}

TEST_F(real_binary, no_words_prints_the_usage_with_status_255) {
    run_result r = run({});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, expected_usage());
    EXPECT_EQ(r.err, "");
}

TEST_F(real_binary, bad_range_is_refused_before_any_lookup) {
    // Had the lookup run, "Unable to find device" would follow.
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-b", "7f:1f.7", "-addr", "2", "-len", "4", "dump"}, "Error: -addr 0x2 must be multiple of 4\n"},
        {{"-b", "7f:1f.7", "-addr", "0x7000", "-len", "0x1004", "dump"},
         "Error: -addr 0x7000 + -len 0x1004 must be <= 0x8000\n"},
    };
    for (const auto& c : cases) {
        run_result r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
