// Bulk EEPROM transfer: ranges moved one 32-bit word at a time through the
// word port, in ascending address order.
#include <cstdio>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"

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
    transfer_clock() : start_(platform_seconds()), last_line_(start_), latest_(start_) {}

    // Reads the clock after a word; true when a progress line is due (the
    // seconds count has moved on by at least 2 since the last line).
    bool tick() {
        latest_ = platform_seconds();
        if (last_line_ + 1 < latest_) {
            last_line_ = latest_;
            return true;
        }
        return false;
    }

    // A long write that took 4 seconds or less cannot have waited out the
    // EEPROM's write cycles.
    int run_time_check(uint32_t length) const {
        if (latest_ - start_ > 4)
            return RESULT_OK;
        return length > 32000 ? RESULT_BAD_DATA : RESULT_OK;
    }

private:
    int64_t start_, last_line_, latest_;
};

void print_progress(uint32_t done, uint32_t length) {
    std::printf("0x%x bytes of 0x%x written\n", done, length);
    std::fflush(stdout);
}

// Writes one word and reads it back once its write cycle has ended.  A word
// that reads back different (a write-protected or failing EEPROM) is
// reported; the transfer must stop there.
bool write_word_checked(uint32_t address, uint32_t w) {
    se_write(address, w);
    if (address == STATUS_WORD_ADDR)
        return true;  // never written: nothing to read back
    const uint32_t got = se_read(address);
    if (got == w)
        return true;
    std::printf("ERROR: EEPROM address 0x%04x reads back 0x%08x after 0x%08x was written: the write did not take "
                "(the EEPROM may be write-protected)\n",
                address, got, w);
    std::fflush(stdout);
    return false;
}

}  // namespace

void read_seeprom(uint8_t* buf, uint32_t address, uint32_t length) {
    for (uint32_t i = 0; i < length; i += 4, address += 4) {
        uint32_t w = se_read(address);
        if (length - i >= 4) {
            bytes_from_word(w, buf + i);
        } else {
            for (uint32_t k = 0; k < length - i; ++k)
                buf[i + k] = static_cast<uint8_t>(w >> (8 * k));
        }
    }
}

int write_seeprom(const uint8_t* buf, uint32_t address, uint32_t length, const uint8_t* current,
                  uint32_t* words_written) {
    // With the EEPROM's present bytes at hand, only the words that differ
    // are written; the progress lines and the run-time check count those.
    // Whether the word at range offset i (EEPROM address a) is written.
    auto written_here = [&](uint32_t i, uint32_t a) {
        if (in_skip_window(a))
            return false;
        if (!current)
            return true;
        const uint32_t mask = covered_mask(length - i);
        return a != STATUS_WORD_ADDR &&
               (word_from_range(buf + i, length - i) & mask) != (word_from_range(current + i, length - i) & mask);
    };
    uint32_t to_write = 0;
    for (uint32_t i = 0, a = address; current && i < length; i += 4, a += 4)
        to_write += written_here(i, a);
    uint32_t written = 0;
    int result = RESULT_OK;
    transfer_clock clock;
    for (uint32_t i = 0; i < length; i += 4, address += 4) {
        if (!written_here(i, address))
            continue;
        uint32_t w = word_from_range(buf + i, length - i);
        if (length - i < 4 && address != STATUS_WORD_ADDR) {
            // The range ends inside this word: its other bytes keep what the
            // EEPROM holds now.
            const uint32_t mask = covered_mask(length - i);
            w = (w & mask) | (se_read(address) & ~mask);
        }
        if (!write_word_checked(address, w)) {
            result = RESULT_READBACK_FAILED;
            break;
        }
        ++written;
        if (clock.tick())
            print_progress(current ? 4 * written : i + 4, current ? 4 * to_write : length);
    }
    if (words_written)
        *words_written = written;
    if (result != RESULT_OK)
        return result;
    return clock.run_time_check(current ? 4 * written : length);
}

int verify_seeprom(const uint8_t* buf, uint32_t address, uint32_t length) {
    int result = RESULT_OK;
    transfer_clock clock;
    for (uint32_t i = 0; i < length; i += 4, address += 4) {
        // The skip window is not ours to compare, and the status word reads
        // the EEPROM's status, never the image's bytes.
        if (in_skip_window(address) || address == STATUS_WORD_ADDR)
            continue;
        uint32_t mask = covered_mask(length - i);
        uint32_t f = word_from_range(buf + i, length - i);
        uint32_t e = se_read(address) & mask;
        if (e != f) {
            result = RESULT_BAD_DATA;
            std::printf("Addr:0x%08x, Filedata:0x%08x != EEPROMData:0x%08x\n", address, f, e);
        }
        if (clock.tick())
            print_progress(i + 4, length);
    }
    return result;
}

int clear_seeprom(uint32_t address, uint32_t length, uint32_t fill) {
    const uint32_t w = fill << 24 | fill << 16 | fill << 8 | fill;
    transfer_clock clock;
    for (uint32_t i = 0; i < length; i += 4, address += 4) {
        if (in_skip_window(address))
            continue;
        if (!write_word_checked(address, w))
            return RESULT_READBACK_FAILED;
        clock.tick();
    }
    return clock.run_time_check(length);
}
