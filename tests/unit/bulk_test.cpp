// Bulk EEPROM transfer: byte order, the skip window, partial words,
// compares, progress lines on the virtual clock and the run-time check.
#include <cstdio>
#include <cstring>
#include <sstream>

#include "adapter/adapter.h"
#include "eeprom/bulk.h"
#include "eeprom/plan.h"
#include "unit_support.h"

namespace {

// Register facts as the model has them, apart from the program's own.
using namespace sim_hw;

// A transfer as a planned change makes it: data laid over the EEPROM's
// present bytes, every covered word written (or, with changed_only, those
// that differ).  0, or -2 when the run-time check fails.
class bulk : public sim_test {
protected:
    int write_range(const uint8_t* data, uint32_t address, uint32_t length, bool changed_only = false) {
        const std::vector<uint8_t> before(eeprom(), eeprom() + SEEPROM_SIZE);
        std::vector<uint8_t> after = before;
        overlay(after, address, data, length);
        const std::vector<uint32_t> words = select_words(before, after, address, length, changed_only);
        transfer_outcome done;
        const word_transfer t{before.data(), after.data(), &words, address, length, changed_only, true};
        return write_words(session(), t, done) ? 0 : -2;
    }
    int clear_range(uint32_t address, uint32_t length) {
        const std::vector<uint8_t> ones(length, 0xFF);
        return write_range(ones.data(), address, length);
    }
    int verify(const uint8_t* image, uint32_t address, uint32_t length) {
        return ::verify_seeprom(session(), image, address, length).empty() ? 0 : -2;
    }
};

// EEPROM addresses of the word writes started in the trace (VPD_CAP_ADDR
// written with the flag set), in order.
std::vector<uint32_t> written_addresses(const std::vector<sim_access>& t) {
    std::vector<uint32_t> out;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i - 1] == W(REG_CFG_REQUEST, 0x4F0000D0) && t[i].kind == 'W' && t[i].offset == REG_CFG_DATA &&
            (t[i].value & sim_hw::VPD_FLAG)) {
            const uint32_t vpd = (t[i].value >> 16) & 0x7FFF;
            out.push_back(vpd >= 0x7C00 ? vpd - 0x7C00 : vpd + 0x400);
        }
    }
    return out;
}

std::vector<uint8_t> bytes_at(uint8_t* e, uint32_t from, uint32_t n) { return std::vector<uint8_t>(e + from, e + from + n); }

TEST(word_order, byte_i_is_bits_8i_to_8i_plus_7) {
    const uint8_t b[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(word_from_bytes(b), 0x44332211u);
    uint8_t out[4] = {};
    bytes_from_word(0xA1B2C3D4u, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST_F(bulk, buffers_hold_eeprom_bytes_in_address_order) {
    std::vector<uint8_t> buf(1024);
    read_seeprom(session(), buf.data(), 0x400, 1024);
    EXPECT_EQ(buf, bytes_at(eeprom(), 0x400, 1024));

    std::vector<uint8_t> guarded(8, 0xEE);  // a partial last word fills only the range
    read_seeprom(session(), guarded.data(), 0x20, 6);
    EXPECT_EQ(guarded, (std::vector<uint8_t>{eeprom()[0x20], eeprom()[0x21], eeprom()[0x22], eeprom()[0x23],
                                             eeprom()[0x24], eeprom()[0x25], 0xEE, 0xEE}));

    std::vector<uint8_t> data(16);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    trace().clear();
    EXPECT_EQ(write_range(data.data(), 0x2000, 16), 0);
    EXPECT_EQ(bytes_at(eeprom(), 0x2000, 16), data);
    EXPECT_EQ(trace()[1], W(REG_CFG_DATA, 0x04030201));
}

TEST_F(bulk, writes_pass_over_the_skip_window) {
    const std::vector<uint8_t> before = sample_board();
    std::vector<uint8_t> data(16, 0x5C);
    EXPECT_EQ(write_range(data.data(), 0x1AD8, 16), 0);
    EXPECT_EQ(written_addresses(trace()), (std::vector<uint32_t>{0x1AD8, 0x1ADC}));
    EXPECT_EQ(bytes_at(eeprom(), 0x1AD8, 8), std::vector<uint8_t>(8, 0x5C));
    EXPECT_EQ(bytes_at(eeprom(), 0x1AE0, 8), std::vector<uint8_t>(before.begin() + 0x1AE0, before.begin() + 0x1AE8));

    trace().clear();
    EXPECT_EQ(write_range(data.data(), 0x1BB0, 16), 0);
    EXPECT_EQ(written_addresses(trace()), (std::vector<uint32_t>{0x1BBC}));
    EXPECT_EQ(bytes_at(eeprom(), 0x1BB0, 12), std::vector<uint8_t>(before.begin() + 0x1BB0, before.begin() + 0x1BBC));

    trace().clear();
    EXPECT_EQ(clear_range(0x1AE0, 0xDC), 0);  // wholly inside: nothing written
    EXPECT_TRUE(written_addresses(trace()).empty());
}

TEST_F(bulk, partial_last_word_keeps_the_eeprom_bytes_beyond_the_range) {
    const std::vector<uint8_t> before = bytes_at(eeprom(), 0x2000, 8);
    const std::vector<uint8_t> data = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};  // exactly the range
    EXPECT_EQ(write_range(data.data(), 0x2000, 6), 0);
    EXPECT_EQ(bytes_at(eeprom(), 0x2000, 8), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, before[6], before[7]}));
}

TEST_F(bulk, verify_compares_the_last_word_and_reports_each_mismatch) {
    const std::vector<uint8_t> image = bytes_at(eeprom(), 0x2000, 16);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(verify(image.data(), 0x2000, 16), 0); }), "");

    eeprom()[0x200C] ^= 0x01;  // the last word
    eeprom()[0x2000] ^= 0x80;
    const uint32_t e0 = word_from_bytes(eeprom() + 0x2000), e3 = word_from_bytes(eeprom() + 0x200C);
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "Addr:0x00002000, Filedata:0x%08x != EEPROMData:0x%08x\n"
                  "Addr:0x0000200c, Filedata:0x%08x != EEPROMData:0x%08x\n",
                  word_from_bytes(image.data()), e0, word_from_bytes(image.data() + 12), e3);
    int r = 0;
    EXPECT_EQ(capture_stdout([&] { r = verify(image.data(), 0x2000, 16); }), expected);
    EXPECT_EQ(r, -2);
}

TEST_F(bulk, verify_skips_the_status_word_and_the_skip_window) {
    const std::vector<uint8_t> image = sample_board();  // 0xFF at 0x7FFC, the status reads 0
    eeprom()[0x1B00] ^= 0xFF;
    std::string out = capture_stdout([&] { EXPECT_EQ(verify(image.data(), 0, SEEPROM_SIZE), 0); });
    EXPECT_EQ(out, "");
}

TEST_F(bulk, verify_of_one_to_three_bytes_compares_only_those_bytes) {
    for (uint32_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        open_sim(sim_config{});
        const std::vector<uint8_t> image = bytes_at(eeprom(), 0x2000, n);  // exactly n bytes
        eeprom()[0x2000 + n] ^= 0xFF;  // beyond the range
        EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(verify(image.data(), 0x2000, n), 0); }), "");
        eeprom()[0x2000 + n - 1] ^= 0xFF;  // inside
        capture_stdout([&] { EXPECT_EQ(verify(image.data(), 0x2000, n), -2); });
    }
    trace().clear();
    EXPECT_EQ(verify(nullptr, 0x2000, 0), 0);
    EXPECT_TRUE(trace().empty());
}

TEST_F(bulk, progress_lines_follow_the_virtual_clock) {
    const std::vector<uint8_t> image(eeprom(), eeprom() + SEEPROM_SIZE);
    int r = -1;
    std::string out = capture_stdout([&] { r = write_range(image.data(), 0, SEEPROM_SIZE); });
    EXPECT_EQ(r, 0);  // ~40 s of 5 ms write cycles
    std::istringstream lines(out);
    std::string line;
    uint32_t previous = 0;
    int count = 0;
    while (std::getline(lines, line)) {
        unsigned done = 0, total = 0;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "0x%x bytes of 0x%x written%c", &done, &total, &tail), 2) << line;
        EXPECT_EQ(total, SEEPROM_SIZE);
        EXPECT_EQ(done % 4, 0u);
        // About 2 s of 5 ms words (~400 words) between lines; the skip window
        // adds its 220 bytes without time.
        EXPECT_GE(done - previous, 1500u) << line;
        EXPECT_LE(done - previous, 1900u) << line;
        previous = done;
        ++count;
    }
    EXPECT_GE(count, 18);
    EXPECT_LE(count, 21);
}

TEST_F(bulk, a_long_write_that_took_no_time_fails_the_run_time_check) {
    sim_config cfg;
    cfg.write_cycle_us = 0;
    open_sim(cfg);
    const std::vector<uint8_t> image = sample_board();
    int full = 0, vpd = -1, cleared = 0;
    std::string out = capture_stdout([&] {
        full = write_range(image.data(), 0, SEEPROM_SIZE);
        vpd = write_range(image.data() + VPD_AREA_START, VPD_AREA_START, VPD_AREA_SIZE);
        cleared = clear_range(0, SEEPROM_SIZE);
    });
    EXPECT_EQ(full, -2);
    EXPECT_EQ(vpd, 0);
    EXPECT_EQ(cleared, -2);
    EXPECT_EQ(out, "");  // too fast for any progress line
}

}  // namespace
