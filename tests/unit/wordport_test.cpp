// The EEPROM word port: register traffic of single-word reads and writes,
// the address rotation, the status word and the bounded waits.
#include <algorithm>

#include "adapter/adapter.h"
#include "eeprom/plan.h"
#include "unit_support.h"

namespace {

// Register facts as the model has them, apart from the program's own.
using namespace sim_hw;

constexpr uint32_t REQ = REG_CFG_REQUEST;
constexpr uint32_t DATA = REG_CFG_DATA;

using word_port = sim_test;

TEST_F(word_port, read_of_address_0_is_the_reference_sequence) {
    EXPECT_EQ(se_read(session(), 0x0000), 0x532d5752u);  // "RW-S": byte 0 in bits 0-7
    const std::vector<sim_access> want = {
        W(REQ, 0x4F0000D0), W(DATA, 0x7C000000),  // VPD address 0x7C00, flag 0
        W(REQ, 0x4F0000D0), R(DATA, 0xFC000003),  // flag 1: data ready
        W(REQ, 0x4F0000D4), R(DATA, 0x532d5752),
    };
    EXPECT_EQ(trace(), want);
}

TEST_F(word_port, write_of_address_0x400_is_the_reference_sequence_and_waits_out_the_cycle) {
    const int64_t t0 = model().now_us();
    se_write(session(), 0x0400, 0x12345678);
    std::vector<sim_access> want = {
        W(REQ, 0x4F0000D4), W(DATA, 0x12345678),  // data first
        W(REQ, 0x4F0000D0), W(DATA, 0x80000000),  // VPD address 0, flag 1
        W(REQ, 0x4F0000D0), R(DATA, 0x00000003),  // flag 0: write taken
        W(REQ, 0x4F0000D4), W(DATA, 0),
    };
    for (uint32_t status : {1u, 0u}) {  // the status word: busy once, then idle
        const sim_access read_status[] = {W(REQ, 0x4F0000D0), W(DATA, 0x7BFC0000), W(REQ, 0x4F0000D0),
                                          R(DATA, 0xFBFC0003), W(REQ, 0x4F0000D4), R(DATA, status)};
        want.insert(want.end(), std::begin(read_status), std::end(read_status));
    }
    EXPECT_EQ(trace(), want);
    EXPECT_EQ(std::vector<uint8_t>(eeprom() + 0x400, eeprom() + 0x404), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_GE(model().now_us() - t0, 5000);  // the 5 ms write cycle
}

TEST_F(word_port, write_into_the_init_region_uses_the_rotated_address) {
    se_write(session(), 0x0010, 0xCAFEF00D);
    ASSERT_GE(trace().size(), 4u);
    EXPECT_EQ(trace()[1], W(DATA, 0xCAFEF00D));
    EXPECT_EQ(trace()[3], W(DATA, 0xFC100000));  // VPD address 0x7C10, flag 1
    EXPECT_EQ(std::vector<uint8_t>(eeprom() + 0x10, eeprom() + 0x14), (std::vector<uint8_t>{0x0D, 0xF0, 0xFE, 0xCA}));
}

TEST_F(word_port, status_word_reads_the_status) {
    EXPECT_EQ(eeprom()[0x7FFC], 0xFF);
    EXPECT_EQ(se_read(session(), 0x7FFC), 0u);  // idle status, not the stored 0xFF bytes
}

// The one place that keeps the status word from being written: no plan
// chooses it, and no overlay puts an image's bytes there.
TEST(plan_words, the_status_word_is_never_planned) {
    std::vector<uint8_t> before(SEEPROM_SIZE, 0xFF), after(SEEPROM_SIZE, 0x00);
    for (const bool changed_only : {false, true}) {
        const std::vector<uint32_t> words = select_words(before, after, 0, SEEPROM_SIZE, changed_only);
        EXPECT_EQ(std::count(words.begin(), words.end(), STATUS_WORD_ADDR), 0);
        EXPECT_FALSE(words.empty());
    }
    overlay(before, 0, after.data(), SEEPROM_SIZE);
    EXPECT_EQ(before[STATUS_WORD_ADDR], 0xFF);
    EXPECT_EQ(before[STATUS_WORD_ADDR - 4], 0x00);
}

TEST(remap_se_addr, rotates_by_0x400) {
    const std::pair<uint32_t, uint32_t> table[] = {
        {0x0000, 0x7C00}, {0x03FC, 0x7FFC}, {0x03FF, 0x7FFF}, {0x0400, 0x0000}, {0x7FFC, 0x7BFC}};
    for (const auto& [eeprom_address, vpd_address] : table)
        EXPECT_EQ(remap_se_addr(eeprom_address), vpd_address) << std::hex << eeprom_address;
}

// The model reaches configuration space only through request words that
// carry the key, so a program that forms them otherwise finds no adapter.
TEST_F(word_port, the_model_honours_only_request_words_with_the_key) {
    const std::pair<uint32_t, uint32_t> reads[] = {
        {0x4F0000D0, 0x00000003},  // the VPD capability's ID
        {0x000000D0, 0xFFFFFFFF},
        {0x4E0000D0, 0xFFFFFFFF},
        {0x4F0010D0, 0xFFFFFFFF},  // an offset beyond configuration space
    };
    for (const auto& [request, value] : reads) {
        model().write(REG_CFG_REQUEST, request);
        EXPECT_EQ(model().read(REG_CFG_DATA), value) << std::hex << request;
    }
    model().write(REG_CFG_REQUEST, 0x000000D4);
    model().write(REG_CFG_DATA, 0x12345678);  // dropped
    model().write(REG_CFG_REQUEST, 0x4F0000D4);
    EXPECT_EQ(model().read(REG_CFG_DATA), 0u);
}

// An adapter that never answers: both waits give up after 2 s of the
// platform clock and name the EEPROM address.
struct stall_case {
    const char* name;
    bool stall_vpd;
    bool stall_status;
    std::function<void()> op;
    const char* address;
};

TEST_F(word_port, waits_give_up_after_two_seconds_naming_the_address) {
    const stall_case cases[] = {
        {"read, VPD flag stuck", true, false, [this] { se_read(session(), 0x0100); }, "0x0100"},
        {"write, VPD flag stuck", true, false, [this] { se_write(session(), 0x0200, 1); }, "0x0200"},
        {"write, status busy for ever", false, true, [this] { se_write(session(), 0x0300, 1); }, "0x0300"},
    };
    for (const stall_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_config cfg;
        cfg.stall_vpd = c.stall_vpd;
        cfg.stall_status = c.stall_status;
        open_sim(cfg);
        const int64_t t0 = model().now_us();
        outcome o = run_catching(c.op);
        const int64_t waited = model().now_us() - t0;
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out.rfind("ERROR: the adapter did not answer", 0), 0u) << o.out;
        EXPECT_NE(o.out.find(c.address), std::string::npos) << o.out;
        EXPECT_GE(waited, 2000000);
        EXPECT_LT(waited, 2500000);
    }
}

TEST_F(word_port, frozen_adapter_is_reported_at_the_first_poll) {
    sim_config cfg;
    cfg.frozen = true;
    open_sim(cfg);
    outcome o = run_catching([this] { se_read(session(), 0x0400); });
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("did not answer at EEPROM address 0x0400"), std::string::npos) << o.out;
    EXPECT_EQ(trace().size(), 4u);  // request, address, request, one poll
}

TEST_F(word_port, timeout_while_held_prints_the_error_then_releases_the_microprocessor) {
    sim_config cfg;
    cfg.stall_status = true;
    open_sim(cfg);
    std::string out;
    EXPECT_EQ(run_main({"-b", "04:00.0", "clearinit"}, &out), 1);
    EXPECT_NE(out.find("...ERROR: the adapter did not answer: the EEPROM still reported busy 2 seconds after the "
                       "write to EEPROM address 0x0000\nDoing full chip reset...Done\n"),
              std::string::npos)
        << out;
    ASSERT_GE(trace().size(), 3u);
    const std::vector<sim_access> tail(trace().end() - 3, trace().end());
    EXPECT_EQ(tail, (std::vector<sim_access>{R(REG_UP_RESET, 0x11), W(REG_UP_RESET, 0x10), W(REG_FULLCHIP_RESET, 3)}));
}

}  // namespace
