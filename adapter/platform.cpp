// What every platform's primitives share: the timer slack and the host's
// sleep.
#include "adapter/platform.h"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

platform::platform() { prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0); }

bool platform::sleep_us(int64_t us) {
    struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return true;
}
