// The progress bar: what a row shows, how often it is drawn, and that it
// leaves the screen before other output.
#include <cstdio>

#include "romwright/progress_bar.h"
#include "unit_support.h"

namespace {

std::string drawn(FILE* f) {
    std::fflush(f);
    std::string s(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(&s[0], 1, s.size(), f));
    return s;
}

TEST(progress_bar, rows_show_percent_words_rate_and_time_left_and_redraw_ten_times_a_second) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    int64_t now = 0;
    progress_bar bar(f, [&] { return now; });
    const int a = bar.add_row("0000:04:00.0"), b = bar.add_row("0000:05:00.0");
    bar.update(a, 1, 1000);  // the first update draws at once
    now = 50000;
    bar.update(a, 2, 1000);  // within 100 ms: not drawn
    now = 1000000;
    bar.update(b, 1, 400);
    now = 2000000;
    bar.update(a, 500, 1000);  // 499 words in 2 s
    const std::string out = drawn(f);
    size_t rows = 0;
    for (size_t p = 0; (p = out.find("\x1b[K\n", p)) != std::string::npos; ++p)
        ++rows;
    EXPECT_EQ(rows, 5u) << out;  // one row at 0 s, none at 50 ms, two at 1 s and at 2 s
    const std::string b_row = "0000:05:00.0: [..............................]   0%  1/400 words  1 words/s  6m39s left\x1b[K\n";
    EXPECT_EQ(out.substr(out.rfind("\x1b[J") + 3),
              "0000:04:00.0: [###############...............]  50%  500/1000 words  250 words/s  2s left\x1b[K\n" +
                  b_row);
    // Hidden: up over both rows and cleared; a finished row leaves the bar.
    bar.hide();
    EXPECT_EQ(drawn(f).substr(out.size()), "\x1b[2A\r\x1b[J");
    bar.update(a, 1000, 1000);  // drawn without it
    bar.update(b, 400, 400);    // and then none is left
    EXPECT_EQ(drawn(f).substr(out.size() + 8), b_row + "\x1b[1A\r\x1b[J");
    std::fclose(f);
}

}  // namespace
