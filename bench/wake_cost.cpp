// What one sleep and its wake-up cost this host in CPU time: the floor
// under the CPU share of any wait that must sleep once per word.  A read
// has one transfer in flight and must see it end before asking for the
// next word, so it sleeps once a word, and no aim of the sleep can make
// its share of a core lower than this cost over the word's time.
//
//   romwright_wake_cost [PERIOD_US [SLEEPS]]
//
// Sleeps SLEEPS times (default 5000) through the host clock the program
// waits on, each to an absolute deadline PERIOD_US (default 104, a read
// word on the benchmark's simulated adapter) after the last, with the
// program's timer slack, and prints the CPU time (user + system) per
// sleep, the median and 90th percentile of how late the wake-ups came,
// and the share of one core that the sleeps alone took over the run.
#include "adapter/platform.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long positive(const char* text, const char* what) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v <= 0 || v > 10000000) {
        std::fprintf(stderr, "romwright_wake_cost: %s must be a whole number from 1 to 10000000\n", what);
        std::exit(2);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) {
        std::fprintf(stderr, "usage: romwright_wake_cost [PERIOD_US [SLEEPS]]\n");
        return 2;
    }
    const long period = argc > 1 ? positive(argv[1], "PERIOD_US") : 104;
    const long sleeps = argc > 2 ? positive(argv[2], "SLEEPS") : 5000;
    use_fine_timer_slack();  // as the program's platforms do

    const host_clock clock;
    std::vector<int64_t> late(static_cast<size_t>(sleeps));
    const int64_t wall0 = clock.now_us();
    const double cpu0 = cpu_seconds();
    int64_t deadline = wall0;
    for (auto& l : late) {
        deadline = std::max(deadline + period, clock.now_us() + 1);  // a late wake-up does not pile up
        clock.sleep_until_us(deadline);
        l = clock.now_us() - deadline;
    }
    const double cpu_total_us = (cpu_seconds() - cpu0) * 1e6;
    const double wall_us = static_cast<double>(clock.now_us() - wall0);
    const double cpu_us = cpu_total_us / static_cast<double>(sleeps);
    std::sort(late.begin(), late.end());
    std::printf("%ld sleeps of %ld us: %.1f us of CPU per sleep, woken %lld us late at the median, %lld us at "
                "the 90th percentile; the sleeps alone take %.1f %% of a core at one per %ld us\n",
                sleeps, period, cpu_us, static_cast<long long>(late[late.size() / 2]),
                static_cast<long long>(late[late.size() * 9 / 10]), 100.0 * cpu_total_us / wall_us, period);
    return 0;
}
