// The last change of an adapter as the metrics show it: its exit status is
// one a process can have, or none.
#include <gtest/gtest.h>

#include "romwright/metrics.h"

namespace {

TEST(last_change, a_status_is_shown_only_when_it_is_an_exit_status) {
    const struct {
        json_value recorded;
        std::optional<int> shown;
    } cases[] = {
        {0, 0}, {143, 143}, {255, 255}, {256, std::nullopt}, {-1, std::nullopt},
        {3000000000u, std::nullopt}, {json_value(18446744073709551615u), std::nullopt},
        {1.5, std::nullopt}, {"1", std::nullopt}, {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.recorded.dump());
        const std::vector<json_value> records = {
            {{"adapter", "0000:04:00.0"}, {"status", 1}},
            {{"adapter", "0000:04:00.0"}, {"status", c.recorded}, {"ended", "2027-01-15T08:00:00Z"}},
        };
        const std::optional<last_change> last = last_change_of(records, "04:00.0");
        ASSERT_TRUE(last);
        EXPECT_EQ(last->status, c.shown);
        EXPECT_EQ(last->time, 1800000000);
    }
}

}  // namespace
