// What every platform's primitives share: the timer slack and the host's
// clock.
#include "adapter/platform.h"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

namespace {

int64_t microseconds(const struct timespec& ts) { return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000; }

int64_t read_us(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return microseconds(ts);
}

}  // namespace

void use_fine_timer_slack() { prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0); }

platform::platform() { use_fine_timer_slack(); }

host_clock::host_clock() {
    // The two clocks read back to back, the monotonic one on both sides:
    // the offset is exact to a fraction of a microsecond.
    const int64_t before = read_us(CLOCK_MONOTONIC);
    const int64_t wall = read_us(CLOCK_REALTIME);
    const int64_t after = read_us(CLOCK_MONOTONIC);
    offset_us_ = wall - (before + after) / 2;
}

int64_t host_clock::now_us() const { return read_us(CLOCK_MONOTONIC) + offset_us_; }

void host_clock::sleep_until_us(int64_t deadline_us) const {
    const int64_t at = deadline_us - offset_us_;
    const struct timespec ts = {static_cast<time_t>(at / 1000000), static_cast<long>(at % 1000000) * 1000};
    // An absolute deadline: a signal handled meanwhile does not lengthen it.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}
