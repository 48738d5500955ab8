// The kernel's view of VPD: the simulated kernel's VPD file, the lookup
// that reads it without a register, the choice between it and the
// registers, and copy 0 decoded from it.
#include <cerrno>
#include <cstring>

#include "adapter/adapter.h"
#include "common/eeprom_map.h"
#include "eeprom/copy_identity.h"
#include "eeprom/vpd_report.h"
#include "unit_support.h"

namespace {

constexpr adapter_address k_at{false, 0, 0x04, 0x00, 0};

// The simulated host, with any window mapped a failure of the test.
class unmappable : public sim_platform {
public:
    using sim_platform::sim_platform;
    mapped_window map(const pci_function&) override {
        ADD_FAILURE() << "a register window was mapped";
        return devmem_refusal{devmem_step::map, EPERM};
    }
};

sim_config traced() {
    sim_config cfg;
    cfg.trace_memory = true;
    return cfg;
}

std::vector<uint8_t> bytes_of(const vpd_file& f) {
    const auto* b = std::get_if<std::vector<uint8_t>>(&f);
    return b ? *b : std::vector<uint8_t>{0xEE};  // a refusal never reads as bytes
}

// Copy 0 of the sample board: identifier string, VPD-R item, end tag at 106.
std::vector<uint8_t> sample_copy0(size_t n = 107) {
    const std::vector<uint8_t> board = sample_board();
    return std::vector<uint8_t>(board.begin() + VPD_AREA_START, board.begin() + VPD_AREA_START + n);
}

TEST(sim_kernel_vpd_file, is_copy_0_through_its_end_tag) {
    struct one_case {
        const char* what;
        std::vector<std::pair<uint32_t, uint8_t>> pokes;  // EEPROM bytes changed first
        size_t size;                                      // of the file
    };
    const one_case cases[] = {
        {"the sample board's end tag at 106", {}, 107},
        // (an end tag 0x78 after it: a walk that passed the first one over
        // would stop there)
        {"another small item passed over, then an end tag with a byte",
         {{0x400 + 106, 0x0A}, {0x400 + 109, 0x79}, {0x400 + 111, 0x78}},
         111},
        {"an end tag's other lengths", {{0x400 + 106, 0x7A}, {0x400 + 109, 0x78}}, 109},
        {"an item longer than the VPD space: the file ends where it begins", {{0x400 + 20, 0xFF}, {0x400 + 21, 0xFF}},
         19},
    };
    for (const one_case& c : cases) {
        SCOPED_TRACE(c.what);
        sim_adapter model{sim_config{}};
        for (const auto& poke : c.pokes)
            model.eeprom()[poke.first] = poke.second;
        const std::vector<uint8_t> file = bytes_of(model.kernel_vpd_file());
        ASSERT_EQ(file.size(), c.size);
        EXPECT_EQ(0, std::memcmp(file.data(), model.eeprom() + VPD_AREA_START, c.size));
        EXPECT_GT(model.counts().eeprom_words_read, 0u);  // through the VPD model
        EXPECT_EQ(model.counts().register_reads + model.counts().register_writes, 0u);
    }
}

TEST(sim_kernel_vpd_file, cannot_be_sized_when_copy_0_begins_with_0x00_or_0xff_or_the_slot_fails) {
    struct one_case {
        const char* what;
        uint8_t first;
        bool frozen, stalled;
    };
    const one_case cases[] = {
        {"0x00", 0x00, false, false},
        {"0xFF", 0xFF, false, false},
        {"a frozen slot reads all ones", 0x82, true, false},
        {"a stalled capability", 0x82, false, true},
    };
    for (const one_case& c : cases) {
        SCOPED_TRACE(c.what);
        sim_config cfg;
        cfg.frozen = c.frozen;
        cfg.stall_vpd = c.stalled;
        sim_adapter model(cfg);
        model.eeprom()[VPD_AREA_START] = c.first;
        const vpd_file f = model.kernel_vpd_file();
        const auto* refused = std::get_if<vpd_file_refusal>(&f);
        ASSERT_NE(refused, nullptr);
        EXPECT_EQ(refused->step, vpd_file_step::read);
        EXPECT_EQ(refused->err, ENODEV);  // what a 6.1 kernel's file says
    }
}

// The kernel reads what the EEPROM holds at the time of the read, as the
// backdoor left it, whatever driver is bound and whatever the lockdown.
class kernel_vpd_lookup : public sim_test {};

TEST_F(kernel_vpd_lookup, reads_the_file_as_the_eeprom_stands_now) {
    sim_config cfg;
    cfg.driver = "rwnic";
    cfg.lockdown = "confidentiality";
    open_sim(cfg);
    EXPECT_EQ(bytes_of(platform().read_vpd_file(platform().where(), platform().scan()[0])), sample_copy0());
    se_write(session(), VPD_AREA_START, 0xFFFFFFFFu);
    const vpd_file after = platform().read_vpd_file(platform().where(), platform().scan()[0]);
    ASSERT_TRUE(std::holds_alternative<vpd_file_refusal>(after));
}

TEST(kernel_vpd_read, maps_no_window_and_touches_no_register) {
    sim_config cfg = traced();
    cfg.driver = "rwnic";
    cfg.memory_off = true;  // guards a mapping only
    unmappable p(cfg);
    const kernel_vpd view = read_kernel_vpd(p, p.where(), k_at);
    EXPECT_EQ(view.bytes, sample_copy0());
    EXPECT_EQ(function_address(view.function), "0000:04:00.0");
    EXPECT_EQ(view.function.driver, "rwnic");
    EXPECT_EQ(p.model().counts().register_reads, 0u);
    EXPECT_EQ(p.model().counts().register_writes, 0u);
    EXPECT_TRUE(p.model().trace().empty());
}

TEST(kernel_vpd_read, a_refused_file_is_a_failure_with_its_facts) {
    sim_config cfg;
    cfg.blank = true;
    cfg.driver = "rwnic";
    unmappable p(cfg);
    try {
        read_kernel_vpd(p, p.where(), k_at);
        FAIL() << "a blank copy 0 was read";
    } catch (const failure& f) {
        EXPECT_EQ(f.kind(), error_kind::failed);
        const std::vector<failure::fact> want = {{"path", "/sys/bus/pci/devices/0000:04:00.0/vpd"},
                                                 {"errno", std::to_string(SIM_VPD_UNSIZED_ERRNO)},
                                                 {"reason", std::strerror(SIM_VPD_UNSIZED_ERRNO)},
                                                 {"driver", "rwnic"}};
        EXPECT_EQ(f.facts(), want);
    }
}

// The lookup's refusals come before the file is read.
TEST(kernel_vpd_read, refuses_as_the_lookup_does_before_reading) {
    temp_dir dir;
    struct one_case {
        const char* what;
        adapter_address at;
        uint16_t vendor;
        bool locked;
    };
    const one_case cases[] = {
        {"no function at the address", {false, 0, 0x05, 0x00, 0}, SIM_VENDOR_ID, false},
        {"another vendor's function", k_at, 0x8086, false},
        {"another run holds the adapter", k_at, SIM_VENDOR_ID, true},
    };
    for (const one_case& c : cases) {
        SCOPED_TRACE(c.what);
        sim_config cfg;
        cfg.eeprom_path = dir.file("e.bin");  // a lock folder beside it
        cfg.devices = {pci_function{0, 0x04, 0x00, 0, SIM_BAR0, c.vendor, SIM_DEVICE_ID}};
        unmappable p(cfg);
        adapter_lock held;
        if (c.locked) {
            ASSERT_EQ(adapter_lock::take(p.where(), p.scan()[0], held), adapter_lock::outcome::locked);
        }
        const outcome o = run_catching([&] { read_kernel_vpd(p, p.where(), c.at); });
        EXPECT_EQ(o.status, EXIT_STATUS_FAILED);
        EXPECT_EQ(p.model().counts().eeprom_words_read, 0u);
    }
    // Without those, the same host reads it.
    sim_config cfg;
    cfg.eeprom_path = dir.file("e.bin");
    unmappable p(cfg);
    EXPECT_EQ(read_kernel_vpd(p, p.where(), k_at).bytes, sample_copy0());
}

TEST(choose_vpd_source, the_kernel_when_the_registers_are_not_ours_unless_named) {
    const auto K = vpd_source::kernel, R = vpd_source::registers;
    const devmem_refusal refused{devmem_step::map, EPERM};
    struct one_case {
        vpd_source_choice choice;
        const char* driver;
        const char* lockdown;
        bool map_refused;
        vpd_source want;
    };
    const one_case cases[] = {
        {vpd_source_choice::automatic, "", "", false, R},
        {vpd_source_choice::automatic, "", "none", false, R},
        {vpd_source_choice::automatic, "rwnic", "", false, K},
        {vpd_source_choice::automatic, "", "integrity", false, K},
        {vpd_source_choice::automatic, "", "confidentiality", false, K},
        {vpd_source_choice::automatic, "", "none", true, K},
        {vpd_source_choice::registers, "rwnic", "confidentiality", true, R},
        {vpd_source_choice::kernel, "", "none", false, K},
    };
    for (const one_case& c : cases) {
        pci_function fn{0, 4, 0, 0, SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID, c.driver};
        const std::optional<devmem_refusal> r = c.map_refused ? std::optional<devmem_refusal>(refused) : std::nullopt;
        EXPECT_EQ(choose_vpd_source(c.choice, fn, c.lockdown, r), c.want)
            << static_cast<int>(c.choice) << " driver '" << c.driver << "' lockdown '" << c.lockdown << "' refused "
            << c.map_refused;
    }
}

TEST(kernel_copy_report, decodes_copy_0_as_the_registers_would) {
    const vpd_report from_registers = copies_of(sample_board().data());
    const vpd_report r = make_kernel_copy_report(sample_copy0());
    ASSERT_EQ(r.copies.size(), 1u);
    EXPECT_EQ(r.copies[0].address, VPD_AREA_START);
    EXPECT_EQ(r.good, 1);
    EXPECT_TRUE(r.all_good());
    EXPECT_EQ(r.fields[1].value, SIM_SERIAL_NUMBER);
    EXPECT_TRUE(identity_held(r.copies[0]) == identity_held(from_registers.copies[0]));
}

TEST(kernel_copy_report, judges_only_what_the_file_shows) {
    std::vector<uint8_t> bad_sum = sample_copy0();
    bad_sum[30] ^= 1;
    EXPECT_EQ(make_kernel_copy_report(bad_sum).copies[0].info.checksum, vpd_checksum_state::bad);
    // Cut before its end tag: the bytes past the file are not taken for it.
    const vpd_report cut = make_kernel_copy_report(sample_copy0(106));
    EXPECT_FALSE(cut.copies[0].info.end_tag);
    EXPECT_EQ(cut.good, 0);
    // A file running past one copy: copy 0's bytes only.
    std::vector<uint8_t> long_file = sample_board();
    long_file.erase(long_file.begin(), long_file.begin() + VPD_AREA_START);
    long_file.resize(VPD_COPY_SIZE + 0x10);
    EXPECT_EQ(make_kernel_copy_report(long_file).copies[0].bytes.size(), VPD_COPY_SIZE);
    EXPECT_TRUE(make_kernel_copy_report(long_file).all_good());
}

}  // namespace
