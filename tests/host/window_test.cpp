// The real register window over an ordinary file mapped in place of
// /dev/mem: byte order and offsets of the accessors.
#include <unistd.h>

#include "adapter/adapter.h"
#include "adapter/platform_host.h"
#include "support/support.h"

namespace {

class host_window : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<uint8_t> bytes(REGISTER_WINDOW_SIZE, 0);
        // A little-endian register 0x12345678 at offset 0x3018.
        bytes[0x3018] = 0x78;
        bytes[0x3019] = 0x56;
        bytes[0x301A] = 0x34;
        bytes[0x301B] = 0x12;
        write_file(dir.file("mem"), bytes);
        host_set_mem_path(dir.file("mem").c_str());
        g_platform = &host_platform;
        map_dev_ioregion_create(0);
    }
    void TearDown() override {
        map_dev_ioregion_destroy();
        host_set_mem_path(nullptr);
    }
    temp_dir dir;
};

TEST_F(host_window, register_values_are_little_endian_on_either_host) {
    uint32_t v = 0;
    dev_read(0x3018, &v);
    EXPECT_EQ(v, 0x12345678u);
    dev_write(0x7B00, 0xA1B2C3D4u);
    const uint8_t* base = static_cast<const uint8_t*>(g_pci_dev_iomem.base);
    EXPECT_EQ(base[0x7B00], 0xD4);
    EXPECT_EQ(base[0x7B01], 0xC3);
    EXPECT_EQ(base[0x7B02], 0xB2);
    EXPECT_EQ(base[0x7B03], 0xA1);
}

TEST_F(host_window, unaligned_offsets_reach_the_register_below) {
    uint32_t v = 0;
    dev_read(0x301B, &v);
    EXPECT_EQ(v, 0x12345678u);
}

}  // namespace

namespace {

// The window starts at the physical address given, and every store reaches
// the device-memory file at that address plus the register offset.
TEST(host_window_offset, window_begins_at_the_physical_address) {
    temp_dir dir;
    std::vector<uint8_t> bytes(0x10000 + REGISTER_WINDOW_SIZE, 0);
    bytes[0x10000 + PCIE_CFG_SPACE_DATA] = 0x03;  // offset 0x3064 above 0x10000
    bytes[PCIE_CFG_SPACE_DATA] = 0xEE;            // the same offset from 0
    write_file(dir.file("mem"), bytes);
    host_set_mem_path(dir.file("mem").c_str());
    g_platform = &host_platform;
    map_dev_ioregion_create(0x10000);
    uint32_t v = 0;
    dev_read(PCIE_CFG_SPACE_DATA, &v);
    dev_write(FULLCHIP_RESET, 3);
    map_dev_ioregion_destroy();
    host_set_mem_path(nullptr);
    EXPECT_EQ(v, 0x00000003u);
    std::vector<uint8_t> after = read_file(dir.file("mem"));
    ASSERT_EQ(after.size(), bytes.size());
    EXPECT_EQ(after[0x10000 + FULLCHIP_RESET], 3);
    EXPECT_EQ(after[FULLCHIP_RESET], 0);
}

}  // namespace
