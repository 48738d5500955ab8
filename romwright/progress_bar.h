// A progress bar on a terminal: one row per adapter at work, each with the
// percentage, words done of the total, the rate and the time left, drawn
// below the command's own lines and redrawn at most ten times a second.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class progress_bar {
public:
    using clock_fn = std::function<int64_t()>;  // microseconds, steady
    explicit progress_bar(FILE* to, clock_fn clock = nullptr);

    // A row for label ("" for a lone adapter); returns its number.
    int add_row(const std::string& label);
    // Words done of total in the row's current transfer.  A transfer that
    // is done leaves the bar; one that begins starts a new rate.
    void update(int row, uint32_t done, uint32_t total);
    // Takes the bar off the screen before other output goes there; the
    // next update draws it again below that output.
    void hide();

private:
    struct row {
        std::string label;
        uint32_t done = 0, total = 0;
        int64_t started_us = 0;
        bool active = false;
    };
    void draw_locked(int64_t now);
    void hide_locked();
    std::string render(const row& r, int64_t now) const;

    FILE* to_;
    clock_fn clock_;
    std::mutex mutex_;
    std::vector<row> rows_;
    int drawn_ = 0;  // rows on the screen
    int64_t last_draw_us_ = INT64_MIN / 2;  // the first update draws
};
