// The config-space backdoor and the EEPROM word port.
//
// The adapter reaches its own configuration space through a request/data
// register pair; through it the VPD capability at 0xD0/0xD4 moves one 32-bit
// EEPROM word at a time.  A request write and its data access must follow
// each other with nothing in between: nothing else in the process touches
// the pair, and the adapter lock keeps other runs away.
#include <algorithm>
#include <cstdio>

#include "adapter/adapter.h"
#include "common/error.h"
#include "common/eeprom_map.h"

void write_pci(adapter_session& s, uint32_t offset, uint32_t value) {
    s.write(PCIE_CFG_SPACE_REQ, offset | CFG_REQ_MASK);
    s.write(PCIE_CFG_SPACE_DATA, value);
}

uint32_t read_pci(adapter_session& s, uint32_t offset) {
    s.write(PCIE_CFG_SPACE_REQ, offset | CFG_REQ_MASK);
    return s.read(PCIE_CFG_SPACE_DATA);
}

namespace {

// Bounds a poll loop by the platform clock.  The clock is first read after
// 16 polls, so a wait that a working adapter ends at once costs no clock
// read; from then on every 16th poll checks the deadline.
class wait_bound {
public:
    explicit wait_bound(adapter_session& s) : s_(s) {}
    // Returns true once at least SE_WAIT_LIMIT_US have passed.
    bool expired() {
        if ((++polls_ & 15) != 0)
            return false;
        int64_t now = s_.clock_us();
        if (deadline_ == 0) {
            deadline_ = now + SE_WAIT_LIMIT_US;
            return false;
        }
        return now >= deadline_;
    }

private:
    adapter_session& s_;
    uint32_t polls_ = 0;
    int64_t deadline_ = 0;
};

// Waits for the adapter without spinning a core: sleeps until an absolute
// deadline, the moment the answer is due by the time this kind of wait
// took lately (learned from the adapter's own answers) less how late a
// sleep here wakes (learned too: wake_lateness), then polls the few
// microseconds left, if any.  On a clock that passes only with register
// accesses (the simulator's virtual time) it never sleeps, and the
// register accesses are the same as without it.
class learned_wait {
public:
    // poll_us: how long a poll takes to answer (a status read is a transfer
    // of its own), which the sleep leaves out as well.
    learned_wait(adapter_session& s, int64_t& estimate_us, int64_t poll_us = 0)
        : s_(s), estimate_(estimate_us), t0_(s.clock_us()) {
        // A sleep far less precise than the wait still sleeps half of it:
        // a little time lost, where polling would keep a core busy.
        const int64_t lead = poll_us + s_.waits().wakes.lead_us();
        imprecise_ = lead > estimate_ / 2;
        sleep_until(t0_, t0_ + estimate_ - (imprecise_ ? estimate_ / 2 : lead));
    }
    ~learned_wait() { done(); }
    // Not ready at a poll.  A wait that the adapter ends in a few
    // microseconds more is polled; a long one (a write cycle) sleeps a
    // 128th of it before the next poll, where that is worth a sleep.  An
    // adapter that is far later than any answer it gave (a stalled one) is
    // waited for in sleeps that double up to a millisecond, not polled
    // until the wait gives up.
    void again() {
        if (++misses_ == 1)
            step_ = estimate_ / 128;
        const bool stalled = misses_ > k_stalled_after_polls;
        if (stalled)
            step_ = std::min<int64_t>(std::max<int64_t>(2 * step_, k_shortest_sleep_us), k_longest_step_us);
        // Checked before the clock is read, so that a poll costs no clock read.
        if (const int64_t sleep_us = stalled ? step_ : step_ - s_.waits().wakes.lead_us();
            sleep_us >= k_shortest_sleep_us) {
            const int64_t now = s_.clock_us();
            sleep_until(now, now + sleep_us);
        }
    }
    // Ready: learn from how long it took.  Ready at the first poll may mean
    // the sleep was too long: the estimate drifts down (unless the sleep
    // was known to wake too late to tell).  Otherwise the wait's own time
    // is the estimate, grown by at most a quarter at a time, so that one
    // wait held up on this host does not lengthen the sleeps of the waits
    // after it.
    void done() {
        if (finished_)
            return;
        finished_ = true;
        const int64_t took = s_.clock_us() - t0_;
        if (estimate_ == 0)
            estimate_ = took;
        else if (misses_ > 0)
            estimate_ = std::min(took, estimate_ + estimate_ / 4 + 1);
        else if (!imprecise_)
            estimate_ = std::min(estimate_, took) - std::max<int64_t>(estimate_ / 128, 1);
    }

private:
    // Sleeps from now_us until deadline_us of the platform clock and learns
    // how late the wake-up came.  A sleep too short to be worth it is left
    // out: a sleep costs CPU of its own, a task switch each way (about
    // 18 us on a virtual machine, bench/wake_cost.cpp), and wakes tens of
    // microseconds late, so one of less than 40 us saves little CPU and
    // loses more time than the wait it replaces.
    void sleep_until(int64_t now_us, int64_t deadline_us) {
        if (deadline_us - now_us < k_shortest_sleep_us)
            return;
        if (s_.host().sleep_until_us(s_.function(), deadline_us))
            s_.waits().wakes.add(s_.clock_us() - deadline_us);
    }

    static constexpr int64_t k_shortest_sleep_us = 40;
    static constexpr int k_stalled_after_polls = 256;
    static constexpr int64_t k_longest_step_us = 1000;
    adapter_session& s_;
    int64_t& estimate_;
    int64_t t0_;
    int misses_ = 0;
    int64_t step_ = 0;
    bool imprecise_ = false;  // the sleep wakes later than half the wait
    bool finished_ = false;
};

// A working adapter never reads all ones at 0xD0 (its low byte is the VPD
// capability ID); a slot that the platform has frozen, or an adapter that
// is gone, reads all ones everywhere.
[[noreturn]] void adapter_gone(adapter_session& s, uint32_t eeprom_address) {
    failure f(error_kind::failed, reason::adapter_gone);
    f.with("address", int64_t{eeprom_address});
    if (const std::optional<std::string> state = slot_state(s.where(), s.function()))
        f.with("slot_state_path", slot_state_path(s.where(), s.function())).with("slot_state", *state);
    throw f;
}

uint32_t se_read_for(adapter_session& s, uint32_t address, uint32_t reported_address) {
    write_pci(s, VPD_CAP_ADDR, remap_se_addr(address) << 16);
    wait_vpd_cap_not_busy(s, 0, reported_address);
    return read_pci(s, VPD_CAP_DATA);
}

}  // namespace

void wake_lateness::add(int64_t late_us) {
    const int64_t late = std::max<int64_t>(late_us, 0) * k_unit;
    if (seen_ < k_first) {
        int i = seen_++;
        for (; i > 0 && first_[i - 1] > late; --i)
            first_[i] = first_[i - 1];
        first_[i] = late;
        lead_ = first_[(seen_ - 1) / 2];
    } else if (late > lead_)
        lead_ += k_unit / 2;
    else
        lead_ = std::max<int64_t>(lead_ - k_unit / 2, 0);
}

void wait_vpd_cap_not_busy(adapter_session& s, uint32_t flag, uint32_t eeprom_address) {
    wait_bound bound(s);
    learned_wait wait(s, flag ? s.waits().write_transfer : s.waits().read_transfer);
    for (;;) {
        uint32_t v = read_pci(s, VPD_CAP_ADDR);
        if (v == 0xFFFFFFFFu)
            adapter_gone(s, eeprom_address);
        if (((v >> 31) & 1u) != flag) {
            wait.done();
            return;
        }
        wait.again();
        if (bound.expired())
            throw failure(error_kind::failed, reason::vpd_transfer_timeout)
                .with("address", int64_t{eeprom_address})
                .with("write", int64_t{flag ? 1 : 0});
    }
}

uint32_t remap_se_addr(uint32_t address) {
    return address <= 0x3FF ? address + 0x7C00 : address - 0x400;
}

uint32_t se_read(adapter_session& s, uint32_t address) { return se_read_for(s, address, address); }

void se_write(adapter_session& s, uint32_t address, uint32_t word) {
    write_pci(s, VPD_CAP_DATA, word);
    write_pci(s, VPD_CAP_ADDR, (remap_se_addr(address) << 16) | VPD_FLAG);
    wait_vpd_cap_not_busy(s, 1, address);
    write_pci(s, VPD_CAP_DATA, 0);

    wait_bound bound(s);
    learned_wait cycle(s, s.waits().write_cycle, s.waits().read_transfer);
    while (se_read_for(s, STATUS_WORD_ADDR, address) & 1u) {
        cycle.again();
        if (bound.expired())
            throw failure(error_kind::failed, reason::eeprom_busy_timeout).with("address", int64_t{address});
    }
}
