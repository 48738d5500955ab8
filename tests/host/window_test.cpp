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
