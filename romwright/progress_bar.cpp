// The progress bar.
#include "romwright/progress_bar.h"

#include "common/error.h"

namespace {

constexpr int64_t k_redraw_us = 100000;
constexpr int k_bar_width = 30;

int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

progress_bar::progress_bar(FILE* to, clock_fn clock) : to_(to), clock_(clock ? std::move(clock) : steady_us) {}

int progress_bar::add_row(const std::string& label) {
    std::lock_guard<std::mutex> guard(mutex_);
    rows_.push_back(row{label});
    return static_cast<int>(rows_.size()) - 1;
}

void progress_bar::update(int n, uint32_t done, uint32_t total) {
    std::lock_guard<std::mutex> guard(mutex_);
    row& r = rows_[static_cast<size_t>(n)];
    const int64_t now = clock_();
    if (!r.active || done < r.done || total != r.total) {
        r.started_us = now;
        r.active = true;
    }
    r.done = done;
    r.total = total;
    const bool finished = done >= total;
    if (finished)
        r.active = false;
    if (finished || now - last_draw_us_ >= k_redraw_us)
        draw_locked(now);
}

void progress_bar::hide() {
    std::lock_guard<std::mutex> guard(mutex_);
    hide_locked();
}

void progress_bar::hide_locked() {
    if (drawn_ == 0)
        return;
    std::fprintf(to_, "\x1b[%dA\r\x1b[J", drawn_);  // up over the rows, then clear them
    std::fflush(to_);
    drawn_ = 0;
}

std::string progress_bar::render(const row& r, int64_t now) const {
    const double fraction = r.total ? static_cast<double>(r.done) / r.total : 1.0;
    const int filled = static_cast<int>(fraction * k_bar_width);
    const double seconds = static_cast<double>(now - r.started_us) / 1e6;
    const double rate = seconds > 0 ? r.done / seconds : 0;
    std::string left = "--";
    if (rate > 0) {
        const long s = static_cast<long>((r.total - r.done) / rate + 0.5);
        left = s >= 60 ? strprintf("%ldm%02lds", s / 60, s % 60) : strprintf("%lds", s);
    }
    return (r.label.empty() ? "" : r.label + ": ") + "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(k_bar_width - filled), '.') + "]" +
           strprintf(" %3d%%  %u/%u words  %.0f words/s  %s left", static_cast<int>(fraction * 100), r.done, r.total,
                     rate, left.c_str());
}

void progress_bar::draw_locked(int64_t now) {
    hide_locked();
    for (const row& r : rows_) {
        if (!r.active)
            continue;
        std::fprintf(to_, "%s\x1b[K\n", render(r, now).c_str());
        ++drawn_;
    }
    std::fflush(to_);
    last_draw_us_ = now;
}
