// Chip control: microprocessor reset, full chip reset, VPD timer.
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>

#include "adapter/adapter.h"

void assert_reset_up(adapter_session& s) {
    const uint32_t v = s.read(UP_RESET);
    if ((v & 1u) == 0)
        s.write(UP_RESET, v | 1u);
}

void deassert_reset_up(adapter_session& s) {
    const uint32_t v = s.read(UP_RESET);
    s.write(UP_RESET, v & ~1u);
    s.obs().chip_reset(false);
    do_fullchip_reset(s);
    s.obs().chip_reset(true);
}

void do_fullchip_reset(adapter_session& s) {
    s.write(FULLCHIP_RESET, 3);
    s.chip_was_reset();
}

void disable_vpd_timer(adapter_session& s) {
    const uint32_t v = s.read(VPD_TIMER);
    s.write(VPD_TIMER, v & 0xFFFFu);
    // All ones is a frozen or vanished slot, not a value to put back.
    if ((v & 0xFFFF0000u) != 0 && v != 0xFFFFFFFFu)
        s.vpd_timer_found(v);
}

adapter_session::~adapter_session() {
    if (vpd_timer_kept_)
        write(VPD_TIMER, vpd_timer_);
}

// ---- signals deferred while the microprocessor is held -------------------

namespace {

// Every asynchronous signal whose default action ends the process, besides
// SIGPIPE (below) and the real-time signals (SIGRTMIN..SIGRTMAX, numbered at
// run time).  The signals a fault of the process itself raises (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) are not deferred, and
// SIGKILL and SIGSTOP cannot be.
struct named_signal {
    int number;
    const char* name;  // without "SIG"
};
const named_signal k_deferred_signals[] = {
    {SIGHUP, "HUP"},   {SIGINT, "INT"},         {SIGQUIT, "QUIT"}, {SIGTERM, "TERM"}, {SIGUSR1, "USR1"},
    {SIGUSR2, "USR2"}, {SIGALRM, "ALRM"},       {SIGVTALRM, "VTALRM"}, {SIGPROF, "PROF"}, {SIGXCPU, "XCPU"},
    {SIGXFSZ, "XFSZ"}, {SIGIO, "IO"},
#ifdef SIGPWR
    {SIGPWR, "PWR"},
#endif
#ifdef SIGSTKFLT
    {SIGSTKFLT, "STKFLT"},
#endif
};

// The deferral's state, process-wide as the signal dispositions it
// replaces are: what the handler records (a handler reaches nothing else),
// and the dispositions to put back.  Guarded by g_hold_mutex, but for
// g_deferred, which the handler writes.
struct sigaction g_saved_actions[NSIG];
// A reader that goes away (romwright ... | head) must not kill the process
// in the middle of a flash with the microprocessor held: while it is held,
// SIGPIPE is ignored and a write to the closed pipe just fails.
struct sigaction g_saved_pipe_action;
volatile std::sig_atomic_t g_deferred = 0;  // the first signal deferred, 0: none

extern "C" void note_signal(int sig) {
    if (g_deferred == 0)
        g_deferred = sig;
}

// Calls fn(signal number) for every deferred signal.
template <typename Fn>
void for_each_deferred(Fn fn) {
    for (const named_signal& s : k_deferred_signals)
        fn(s.number);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        fn(sig);
}

// Holds on several adapters at once (one thread each) share one deferral:
// the first hold installs it, the last release takes it away.
std::mutex g_hold_mutex;
int g_holds = 0;

void defer_signals() {
    std::lock_guard<std::mutex> guard(g_hold_mutex);
    if (g_holds++ > 0)
        return;
    struct sigaction sa = {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for_each_deferred([&](int sig) { sigaction(sig, &sa, &g_saved_actions[sig]); });
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &g_saved_pipe_action);
}

// Returns the signal deferred so far (0: none); the last release puts the
// dispositions back and starts the next deferral afresh.
int restore_signals() {
    std::lock_guard<std::mutex> guard(g_hold_mutex);
    if (--g_holds > 0)
        return g_deferred;
    for_each_deferred([](int s) { sigaction(s, &g_saved_actions[s], nullptr); });
    sigaction(SIGPIPE, &g_saved_pipe_action, nullptr);
    const int sig = g_deferred;  // read once the handler can no longer run
    g_deferred = 0;
    return sig;
}

}  // namespace

std::string deferred_signal_name(int sig) {
    for (const named_signal& s : k_deferred_signals)
        if (s.number == sig)
            return std::string("SIG") + s.name;
    if (sig >= SIGRTMIN && sig <= SIGRTMAX)
        return sig == SIGRTMIN ? "SIGRTMIN" : "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
    return "a signal";
}

std::string deferred_signal_names() {
    std::string names;
    for (const named_signal& s : k_deferred_signals)
        names += (names.empty() ? "" : ", ") + std::string(s.name);
    return names;
}

int deferred_signal_number(const char* name) {
    for (const named_signal& s : k_deferred_signals)
        if (std::strcmp(s.name, name) == 0)
            return s.number;
    return 0;
}

signal_deferral::signal_deferral(adapter_session& s) : s_(s) { defer_signals(); }
signal_deferral::~signal_deferral() {
    if (const int sig = restore_signals())
        s_.note_deferred_signal(sig);
}

up_reset_hold::up_reset_hold(adapter_session& s) : s_(s), held_(true) {
    defer_signals();
    assert_reset_up(s_);
}

up_reset_hold::~up_reset_hold() { release(); }

void up_reset_hold::release() {
    if (!held_)
        return;
    held_ = false;
    deassert_reset_up(s_);
    if (const int sig = restore_signals())
        s_.note_deferred_signal(sig);
}

void up_reset_hold::fail(const failure& f) {
    if (!f.shown())
        s_.obs().failure_shown(f);
    release();
    throw f.as_shown();
}
