// Chip control: microprocessor reset, full chip reset, VPD timer.
#include <csignal>
#include <functional>
#include <stdexcept>

#include "adapter/adapter.h"
#include "unit_support.h"

namespace {

// Register facts as the model has them, apart from the program's own.
using namespace sim_hw;

using chip_control = sim_test;

TEST_F(chip_control, assert_reset_up_on_a_held_microprocessor_reads_once_and_writes_nothing) {
    model().set_reg(REG_UP_RESET, 0x00000011);
    assert_reset_up(session());
    EXPECT_EQ(trace(), (std::vector<sim_access>{R(REG_UP_RESET, 0x11)}));
}

TEST_F(chip_control, assert_reset_up_sets_bit_0_keeping_the_others) {
    model().set_reg(REG_UP_RESET, 0x00000010);
    assert_reset_up(session());
    EXPECT_EQ(trace(), (std::vector<sim_access>{R(REG_UP_RESET, 0x10), W(REG_UP_RESET, 0x11)}));
}

TEST_F(chip_control, deassert_reset_up_always_writes_then_resets_the_chip) {
    model().set_reg(REG_UP_RESET, 0x00000010);
    EXPECT_EQ(capture_stdout([this] { deassert_reset_up(session()); }), "Doing full chip reset...Done\n");
    EXPECT_EQ(trace(), (std::vector<sim_access>{R(REG_UP_RESET, 0x10), W(REG_UP_RESET, 0x10), W(REG_FULLCHIP_RESET, 3)}));
    EXPECT_EQ(model().chip_resets(), 1u);
}

TEST_F(chip_control, disable_vpd_timer_clears_the_upper_half_only) {
    const std::pair<uint32_t, uint32_t> table[] = {
        {0xFFFFFFFF, 0x0000FFFF}, {0x00001234, 0x00001234}, {0x01F40C35, 0x00000C35}, {0x00000000, 0x00000000}};
    for (const auto& [before, after] : table) {
        trace().clear();
        model().set_reg(REG_VPD_TIMER, before);
        disable_vpd_timer(session());
        EXPECT_EQ(trace(), (std::vector<sim_access>{R(REG_VPD_TIMER, before), W(REG_VPD_TIMER, after)})) << std::hex << before;
    }
}

// Held work that throws: its error comes out before the release's chip reset
// line, and main is left nothing more to print.
TEST_F(chip_control, run_prints_the_error_of_the_held_work_before_the_release) {
    struct failure_case {
        std::function<int()> work;
        int status;
        std::string out;
    };
    const failure_case cases[] = {
        {[]() -> int { throw failure(error_kind::usage, "ERROR: held work failed\n"); }, 255,
         "ERROR: held work failed\nDoing full chip reset...Done\n"},
        {[]() -> int { throw std::runtime_error("out of luck"); }, 1,
         "ERROR: out of luck\nDoing full chip reset...Done\n"},
    };
    for (const failure_case& c : cases) {
        trace().clear();
        outcome o = run_catching([&] {
            up_reset_hold hold(session());
            hold.run(c.work);
        });
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, c.out);  // shown once, before the release
        EXPECT_EQ(trace(), (std::vector<sim_access>{R(REG_UP_RESET, 0x10), W(REG_UP_RESET, 0x11), R(REG_UP_RESET, 0x11),
                                                    W(REG_UP_RESET, 0x10), W(REG_FULLCHIP_RESET, 3)}));
    }
    std::string out = capture_stdout([this] {
        up_reset_hold hold(session());
        EXPECT_EQ(hold.run([] { return 42; }), 42);
    });
    EXPECT_EQ(out, "Doing full chip reset...Done\n");
}

// The real-time signals have no fixed numbers; the named ones are killed
// for real in the end-to-end tests.  qemu-user keeps the last real-time
// signals for itself and cannot send them (raise fails): those are passed
// over there.
TEST_F(chip_control, real_time_signals_are_deferred_while_held_and_reported_to_the_session) {
    const pci_function fn = model().devices().front();
    observer quiet;
    for (int sig : {SIGRTMIN, SIGRTMIN + 1, SIGRTMAX}) {
        adapter_session s(platform(), platform().where(), fn, adapter_lock(),
                          std::get<std::unique_ptr<register_window>>(platform().map(fn)), quiet);
        int sent = -1;
        {
            up_reset_hold hold(s);
            sent = std::raise(sig);
        }
        if (sent != 0 && sig != SIGRTMIN)
            continue;
        EXPECT_EQ(sent, 0) << "SIGRTMIN+" << sig - SIGRTMIN;
        EXPECT_EQ(s.deferred_signal(), sig) << "SIGRTMIN+" << sig - SIGRTMIN;
        // The next hold starts afresh: nothing arrived during it.
        adapter_session next(platform(), platform().where(), fn, adapter_lock(),
                             std::get<std::unique_ptr<register_window>>(platform().map(fn)), quiet);
        up_reset_hold(next).release();
        EXPECT_EQ(next.deferred_signal(), 0);
    }
    EXPECT_EQ(deferred_signal_name(SIGRTMIN), "SIGRTMIN");
    EXPECT_EQ(deferred_signal_name(SIGRTMIN + 3), "SIGRTMIN+3");
    EXPECT_EQ(deferred_signal_name(SIGUSR1), "SIGUSR1");
}

}  // namespace
