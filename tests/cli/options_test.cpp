// Options in their double-dash form do what the single-dash form does.
#include "cli_helpers.h"

using namespace cli;

TEST(Options, DoubleDashFormsAreTheOptions) {
    board b;
    const std::vector<uint8_t> before = b.contents();
    // --plan is the plan, not a stray word beside an erase.
    const run_result plan = b.run({"-b", "04:00.0", "clearvpd", "--plan"});
    EXPECT_EQ(plan.status, 0) << plan.out << plan.err;
    EXPECT_EQ(b.contents(), before);
    EXPECT_NE(plan.out.find("lan"), std::string::npos) << plan.out;

    const run_result json = b.run({"-b", "04:00.0", "vpd", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    ASSERT_FALSE(json.out.empty());
    EXPECT_EQ(json.out.front(), '{') << json.out;

    const run_result range = b.run({"-b", "04:00.0", "dump", "--addr", "0x10", "--len", "4"});
    EXPECT_EQ(range.status, 0) << range.err;
    EXPECT_EQ(lines_of(range.out).size(), 2u) << range.out;
    EXPECT_EQ(range.out.substr(1, 5), "0010:") << range.out;
}
