// The register accessors over ordinary memory: a register is little-endian
// in the window whatever the host's byte order, and each access moves the
// four bytes of exactly one register.  Cross runs execute this with the
// POWER instructions (byte-reversed on big-endian).
#include <cstdint>

#include <gtest/gtest.h>

#include "adapter/mmio.h"

TEST(mmio, registers_are_little_endian_on_either_host) {
    alignas(8) uint8_t window[12] = {0xEE, 0xEE, 0xEE, 0xEE, 0x78, 0x56, 0x34, 0x12, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(mmio_read32(window + 4), 0x12345678u);

    mmio_write32(window + 4, 0xA1B2C3D4u);
    const uint8_t expected[12] = {0xEE, 0xEE, 0xEE, 0xEE, 0xD4, 0xC3, 0xB2, 0xA1, 0xEE, 0xEE, 0xEE, 0xEE};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(window[i], expected[i]) << "byte " << i;
    EXPECT_EQ(mmio_read32(window + 4), 0xA1B2C3D4u);
}
