// Chip control: microprocessor reset, full chip reset, VPD timer.
#include "adapter/adapter.h"
#include "unit_support.h"

namespace {

using chip_control = sim_test;

TEST_F(chip_control, assert_reset_up_on_a_held_microprocessor_reads_once_and_writes_nothing) {
    the_sim().set_reg(UP_RESET, 0x00000011);
    assert_reset_up();
    EXPECT_EQ(trace(), (std::vector<sim_access>{R(UP_RESET, 0x11)}));
}

TEST_F(chip_control, assert_reset_up_sets_bit_0_keeping_the_others) {
    the_sim().set_reg(UP_RESET, 0x00000010);
    assert_reset_up();
    EXPECT_EQ(trace(), (std::vector<sim_access>{R(UP_RESET, 0x10), W(UP_RESET, 0x11)}));
}

TEST_F(chip_control, deassert_reset_up_always_writes_then_resets_the_chip) {
    the_sim().set_reg(UP_RESET, 0x00000010);
    EXPECT_EQ(capture_stdout(deassert_reset_up), "Doing full chip reset...Done\n");
    EXPECT_EQ(trace(), (std::vector<sim_access>{R(UP_RESET, 0x10), W(UP_RESET, 0x10), W(FULLCHIP_RESET, 3)}));
    EXPECT_EQ(the_sim().chip_resets(), 1u);
}

TEST_F(chip_control, disable_vpd_timer_clears_the_upper_half_only) {
    const std::pair<uint32_t, uint32_t> table[] = {
        {0xFFFFFFFF, 0x0000FFFF}, {0x00001234, 0x00001234}, {0x01F40C35, 0x00000C35}, {0x00000000, 0x00000000}};
    for (const auto& [before, after] : table) {
        trace().clear();
        the_sim().set_reg(VPD_TIMER, before);
        disable_vpd_timer();
        EXPECT_EQ(trace(), (std::vector<sim_access>{R(VPD_TIMER, before), W(VPD_TIMER, after)})) << std::hex << before;
    }
}

}  // namespace
