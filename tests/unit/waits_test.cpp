// The word port's waits on a clock that passes with sleeps: how late a
// wake-up comes is learned, and a word's wait sleeps until just before its
// answer instead of polling for it.
#include <cerrno>

#include "adapter/adapter.h"
#include "unit_support.h"

namespace {

// A host whose clock moves a microsecond per register access and jumps
// over a sleep to its deadline, late by the next of a repeating list of
// lateness; its one register window is a VPD capability that answers a
// read answer_us after its request (never, when 0).
class sleeping_host : public platform {
public:
    explicit sleeping_host(std::vector<int64_t> lateness) : lateness_(std::move(lateness)) {}

    std::vector<pci_function> scan() override { return {}; }
    mapped_window map(const pci_function&) override { return std::make_unique<window>(*this); }
    vpd_file read_vpd_file(const site&, const pci_function&) override {
        return vpd_file_refusal{vpd_file_step::open, ENOENT};
    }
    int64_t clock_us(const pci_function&) override { return now_; }
    bool sleep_until_us(const pci_function&, int64_t deadline_us) override {
        ++sleeps;
        now_ = std::max(now_, deadline_us + lateness_[sleeps % lateness_.size()]);
        return true;
    }

    std::unique_ptr<adapter_session> session(observer& obs) {
        return std::make_unique<adapter_session>(*this, site(), pci_function{}, adapter_lock(),
                                                 std::get<std::unique_ptr<register_window>>(map({})), obs);
    }
    int64_t now() const { return now_; }

    int64_t answer_us = 100;
    int64_t sleeps = 0, polls = 0;

private:
    struct window : register_window {
        explicit window(sleeping_host& h) : h_(h) {}
        uint32_t read32(uint32_t offset) override {
            ++h_.now_;
            if (offset != PCIE_CFG_SPACE_DATA || select_ != VPD_CAP_ADDR)
                return 0;
            ++h_.polls;
            return h_.answer_us != 0 && h_.now_ >= requested_ + h_.answer_us ? VPD_FLAG : 0;
        }
        void write32(uint32_t offset, uint32_t value) override {
            ++h_.now_;
            if (offset == PCIE_CFG_SPACE_REQ)
                select_ = value & 0xFFF;
            else if (select_ == VPD_CAP_ADDR)
                requested_ = h_.now_;
        }
        sleeping_host& h_;
        uint32_t select_ = 0;
        int64_t requested_ = 0;
    };

    std::vector<int64_t> lateness_;
    int64_t now_ = 1000000;
};

class quiet : public observer {};

TEST(wake_lateness, follows_the_median) {
    struct lateness_case {
        const char* name;
        std::vector<int64_t> seen;
        int64_t low, high;  // where the lead must end up
    };
    std::vector<int64_t> spread;  // 12..27 us, each as often, in a mixed order
    for (int64_t i = 0; i < 800; ++i)
        spread.push_back(12 + i * 7 % 16);
    std::vector<int64_t> one_stall = std::vector<int64_t>(200, 20);
    one_stall[100] = 4000;  // a wake-up held up for 4 ms moves it by a fraction of a microsecond
    std::vector<int64_t> first_stall = std::vector<int64_t>(40, 20);
    first_stall[0] = 4000;  // nor does the very first one
    const lateness_case cases[] = {
        {"the first wake-up sets it", {30}, 30, 30},
        {"the first stalls", first_stall, 19, 20},
        {"spread evenly", spread, 18, 21},
        {"one stall", one_stall, 19, 20},
        {"early wake-ups count as on time", std::vector<int64_t>(100, -5), 0, 0},
    };
    for (const lateness_case& c : cases) {
        SCOPED_TRACE(c.name);
        wake_lateness w;
        for (int64_t late : c.seen)
            w.add(late);
        EXPECT_GE(w.lead_us(), c.low);
        EXPECT_LE(w.lead_us(), c.high);
    }
}

TEST(learned_waits, a_read_word_sleeps_once_and_wakes_about_when_it_is_answered) {
    struct learning_case {
        const char* name;
        std::vector<int64_t> lateness;  // of the wake-ups, in turn (the first sleep takes [1])
        uint32_t slow_word;             // the word whose answer takes 2 ms (none: past the words read)
        int64_t us_per_word;            // at most
        int64_t answer_us = 100;
        int64_t sleeps_per_word = 1;
    };
    std::vector<int64_t> first_stall(2000, 20);
    first_stall[1] = 4000;
    const learning_case cases[] = {
        // Request and data accesses (4 us) and the answer (100 us), and
        // what is left of the wake-ups' lateness: a few microseconds.
        {"every answer in 100 us", {14, 16, 18, 20, 22, 24, 26, 40}, 0x1000, 104 + 8},
        {"one answer held up among them", {14, 16, 18, 20, 22, 24, 26, 40}, 0x40, 104 + 8},
        {"the first wake-up held up for 4 ms", first_stall, 0x1000, 104 + 8},
        // Half the wait slept, and the wake-up's 200 us on top.
        {"wake-ups later than the answer", {200}, 0x1000, 54 + 200 + 8},
        // Too short to be worth a sleep: polled.
        {"every answer in 30 us", {100}, 0x1000, 34 + 4, 30, 0},
    };
    for (const learning_case& c : cases) {
        SCOPED_TRACE(c.name);
        sleeping_host host(c.lateness);
        quiet obs;
        std::unique_ptr<adapter_session> s = host.session(obs);
        for (uint32_t a = 0; a < 0x400; a += 4) {  // learning
            host.answer_us = a == c.slow_word ? 2000 : c.answer_us;
            se_read(*s, a);
        }
        host.answer_us = c.answer_us;
        const int64_t t0 = host.now(), sleeps0 = host.sleeps, polls0 = host.polls;
        const int64_t words = 256;
        for (uint32_t a = 0; a < 4 * words; a += 4)
            se_read(*s, a);
        EXPECT_EQ(host.sleeps - sleeps0, c.sleeps_per_word * words);
        EXPECT_LE((host.now() - t0) / words, c.us_per_word);
        if (c.sleeps_per_word > 0) {
            EXPECT_LE(host.polls - polls0, 4 * words);  // polling through the answer would be 50 a word
        }
    }
}

TEST(learned_waits, an_adapter_that_does_not_answer_is_waited_for_in_sleeps) {
    sleeping_host host({20});
    host.answer_us = 0;
    quiet obs;
    std::unique_ptr<adapter_session> s = host.session(obs);
    const int64_t t0 = host.now();
    outcome o = run_catching([&] { se_read(*s, 0x100); });
    EXPECT_EQ(o.status, 1);
    EXPECT_GE(host.now() - t0, SE_WAIT_LIMIT_US);
    // A poll a microsecond for 2 s would be two million.
    EXPECT_LT(host.polls, 3000);
}

}  // namespace
