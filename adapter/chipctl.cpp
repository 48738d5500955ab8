// Chip control: microprocessor reset, full chip reset, VPD timer.
#include <csignal>
#include <cstdio>

#include "adapter/adapter.h"

void assert_reset_up() {
    uint32_t v;
    dev_read(UP_RESET, &v);
    if ((v & 1u) == 0)
        dev_write(UP_RESET, v | 1u);
}

void deassert_reset_up() {
    uint32_t v;
    dev_read(UP_RESET, &v);
    dev_write(UP_RESET, v & ~1u);
    std::fputs("Doing full chip reset...", stdout);
    do_fullchip_reset();
    std::fputs("Done\n", stdout);
    std::fflush(stdout);
}

void do_fullchip_reset() { dev_write(FULLCHIP_RESET, 3); }

void disable_vpd_timer() {
    uint32_t v;
    dev_read(VPD_TIMER, &v);
    dev_write(VPD_TIMER, v & 0xFFFFu);
}

// ---- signals deferred while the microprocessor is held -------------------

namespace {

const int k_deferred_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int k_signal_count = sizeof k_deferred_signals / sizeof k_deferred_signals[0];
struct sigaction g_saved_actions[k_signal_count];
// A reader that goes away (romwright ... | head) must not kill the process
// in the middle of a flash with the microprocessor held: while it is held,
// SIGPIPE is ignored and a write to the closed pipe just fails.
struct sigaction g_saved_pipe_action;
volatile std::sig_atomic_t g_deferred = 0;

extern "C" void note_signal(int sig) {
    if (g_deferred == 0)
        g_deferred = sig;
}

void defer_signals() {
    struct sigaction sa = {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int i = 0; i < k_signal_count; ++i)
        sigaction(k_deferred_signals[i], &sa, &g_saved_actions[i]);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &g_saved_pipe_action);
}

void restore_signals() {
    for (int i = 0; i < k_signal_count; ++i)
        sigaction(k_deferred_signals[i], &g_saved_actions[i], nullptr);
    sigaction(SIGPIPE, &g_saved_pipe_action, nullptr);
}

}  // namespace

int deferred_signal() { return g_deferred; }
void clear_deferred_signal() { g_deferred = 0; }

up_reset_hold::up_reset_hold() : held_(true) {
    defer_signals();
    assert_reset_up();
}

up_reset_hold::~up_reset_hold() { release(); }

void up_reset_hold::release() {
    if (!held_)
        return;
    held_ = false;
    deassert_reset_up();
    restore_signals();
}
