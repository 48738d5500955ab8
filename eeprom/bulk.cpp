// Bulk EEPROM transfer: ranges moved one 32-bit word at a time through the
// word port, in ascending address order.
#include "eeprom/bulk.h"

#include "adapter/adapter.h"
#include "common/eeprom_map.h"

namespace {

// Mask of the bytes of a word that lie inside the range when `remaining`
// bytes of it are left (all four when remaining >= 4).
inline uint32_t covered_mask(uint32_t remaining) {
    return remaining >= 4 ? 0xFFFFFFFFu : (uint32_t{1} << (8 * remaining)) - 1;
}

// The word at buf[0..remaining) in EEPROM byte order; bytes beyond the range
// are 0.
inline uint32_t word_from_range(const uint8_t* buf, uint32_t remaining) {
    if (remaining >= 4)
        return word_from_bytes(buf);
    uint32_t w = 0;
    for (uint32_t k = 0; k < remaining; ++k)
        w |= uint32_t{buf[k]} << (8 * k);
    return w;
}

// Progress pacing and the run-time check share one whole-second clock.
class transfer_clock {
public:
    explicit transfer_clock(adapter_session& s) : s_(s), start_(s.seconds()), last_line_(start_), latest_(start_) {}

    // Reads the clock after a word; true when a progress line is due (the
    // seconds count has moved on by at least 2 since the last line).
    bool tick() {
        latest_ = s_.seconds();
        if (last_line_ + 1 < latest_) {
            last_line_ = latest_;
            return true;
        }
        return false;
    }

    // A long write that took 4 seconds or less cannot have waited out the
    // EEPROM's write cycles.
    bool run_time_plausible(uint32_t length) const { return latest_ - start_ > 4 || length <= 32000; }

private:
    adapter_session& s_;
    int64_t start_, last_line_, latest_;
};

}  // namespace

void read_seeprom(adapter_session& s, uint8_t* buf, uint32_t address, uint32_t length) {
    const uint32_t words = (length + 3) / 4;
    for (uint32_t i = 0; i < length; i += 4, address += 4) {
        const uint32_t w = se_read(s, address);
        s.obs().words_done(i / 4 + 1, words);
        if (length - i >= 4) {
            bytes_from_word(w, buf + i);
        } else {
            for (uint32_t k = 0; k < length - i; ++k)
                buf[i + k] = static_cast<uint8_t>(w >> (8 * k));
        }
    }
}

bool write_words(adapter_session& s, const word_transfer& t, transfer_outcome& out) {
    const uint32_t total = t.count_words ? 4 * static_cast<uint32_t>(t.words->size()) : t.length;
    transfer_clock clock(s);
    for (const uint32_t address : *t.words) {
        const uint32_t w = word_from_bytes(t.eeprom_after + address);
        const uint32_t old = word_from_bytes(t.eeprom_before + address);
        // The word may have taken before the adapter stopped answering.
        auto unanswered = [&] {
            out.changed = out.changed || w != old;
            out.stopped_at = address;
        };
        try {
            se_write(s, address, w);
        } catch (...) {
            unanswered();
            throw;
        }
        uint32_t got = 0;
        try {
            got = se_read(s, address);
        } catch (...) {
            unanswered();
            throw;
        }
        out.changed = out.changed || got != old;
        if (got != w) {
            out.stopped_at = address;
            out.stopped_word = got;
            // A write-protected or failing EEPROM: the transfer stops here.
            throw failure(error_kind::failed, reason::readback_mismatch)
                .with("address", int64_t{address})
                .with("read", int64_t{got})
                .with("written", int64_t{w});
        }
        ++out.words_written;
        s.obs().words_done(out.words_written, static_cast<uint32_t>(t.words->size()));
        if (clock.tick() && t.show_progress)
            s.obs().progress(t.count_words ? 4 * out.words_written : address - t.first + 4, total);
    }
    return clock.run_time_plausible(t.count_words ? 4 * out.words_written : t.length);
}

std::vector<word_mismatch> verify_seeprom(adapter_session& s, const uint8_t* buf, uint32_t address, uint32_t length) {
    std::vector<word_mismatch> out;
    transfer_clock clock(s);
    for (uint32_t i = 0; i < length; i += 4, address += 4) {
        // The skip window is not ours to compare, and the status word reads
        // the EEPROM's status, never the image's bytes.
        if (in_skip_window(address) || address == STATUS_WORD_ADDR)
            continue;
        const uint32_t mask = covered_mask(length - i);
        const uint32_t f = word_from_range(buf + i, length - i);
        const uint32_t e = se_read(s, address) & mask;
        if (e != f) {
            out.push_back({address, f, e});
            s.obs().mismatch(address, f, e);
        }
        s.obs().words_done(i / 4 + 1, (length + 3) / 4);
        if (clock.tick())
            s.obs().progress(i + 4, length);
    }
    return out;
}
