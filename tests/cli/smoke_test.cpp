#include "support/support.h"

TEST(cli_smoke, usage_on_no_words) {
    run_result r = run_sim({}, {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, expected_usage());
}
