// The real register window over an ordinary file mapped in place of
// /dev/mem: byte order and offsets of the accessors.
#include <unistd.h>

#include "adapter/adapter.h"
#include "host/platform_host.h"
#include "support/support.h"

namespace {

// Maps the window of a function whose BAR0 is at `bar` from dir/mem.
std::unique_ptr<register_window> map_at(const temp_dir& dir, uint64_t bar) {
    host_places places;
    places.mem = dir.file("mem");
    host_platform host(places);
    return std::get<std::unique_ptr<register_window>>(host.map(pci_function{0, 4, 0, 0, bar | 0x4}));
}

TEST(host_window, register_values_are_little_endian_on_either_host) {
    temp_dir dir;
    std::vector<uint8_t> bytes(REGISTER_WINDOW_SIZE, 0);
    // A little-endian register 0x12345678 at offset 0x3018.
    bytes[0x3018] = 0x78;
    bytes[0x3019] = 0x56;
    bytes[0x301A] = 0x34;
    bytes[0x301B] = 0x12;
    write_file(dir.file("mem"), bytes);
    {
        std::unique_ptr<register_window> w = map_at(dir, 0);
        EXPECT_EQ(w->read32(0x3018), 0x12345678u);
        w->write32(0x7B00, 0xA1B2C3D4u);
    }
    const std::vector<uint8_t> after = read_file(dir.file("mem"));
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + 0x7B00, after.begin() + 0x7B04),
              (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
}

// The window starts at the physical address given, and every store reaches
// the device-memory file at that address plus the register offset.
TEST(host_window, window_begins_at_the_physical_address) {
    temp_dir dir;
    std::vector<uint8_t> bytes(0x10000 + REGISTER_WINDOW_SIZE, 0);
    bytes[0x10000 + PCIE_CFG_SPACE_DATA] = 0x03;  // offset 0x3064 above 0x10000
    bytes[PCIE_CFG_SPACE_DATA] = 0xEE;            // the same offset from 0
    write_file(dir.file("mem"), bytes);
    uint32_t v = 0;
    {
        std::unique_ptr<register_window> w = map_at(dir, 0x10000);
        v = w->read32(PCIE_CFG_SPACE_DATA);
        w->write32(FULLCHIP_RESET, 3);
    }
    EXPECT_EQ(v, 0x00000003u);
    std::vector<uint8_t> after = read_file(dir.file("mem"));
    ASSERT_EQ(after.size(), bytes.size());
    EXPECT_EQ(after[0x10000 + FULLCHIP_RESET], 3);
    EXPECT_EQ(after[FULLCHIP_RESET], 0);
}

}  // namespace
