// The built-in sample board: what a newly created simulated EEPROM holds.
#include <cstring>

#include "sim/sim_adapter.h"

const char SIM_PART_NUMBER[17] = "1102005SIMA00001";
const char SIM_SERIAL_NUMBER[25] = "PTSIM0000000000000012345";
const char SIM_MAC_ADDRESS[13] = "0C4E29000001";

namespace {

constexpr uint32_t COPY_STRIDE = 0x400;
constexpr int COPIES = 14;

void put(uint8_t* p, const char* text, size_t n) { std::memcpy(p, text, n); }

// One PCI VPD record: identifier string, then the read-only item with the
// part number, an engineering change level, the serial number, the MAC
// address and the checksum field, then the end tag.
void fill_vpd_copy(uint8_t* c) {
    std::memset(c, 0xFF, COPY_STRIDE);
    c[0] = 0x82;  // identifier string, 16 bytes
    c[1] = 0x10;
    c[2] = 0x00;
    put(c + 3, "RW-SIM DUAL 25GB", 16);
    c[19] = 0x90;  // read-only item: keyword fields at 22..105
    c[20] = 84;
    c[21] = 0;
    put(c + 22, "PN\x10", 3);
    put(c + 25, SIM_PART_NUMBER, 16);
    put(c + 41, "EC\x10", 3);
    put(c + 44, "A0 SIMULATED ECO", 16);
    put(c + 60, "SN\x18", 3);
    put(c + 63, SIM_SERIAL_NUMBER, 24);
    put(c + 87, "NA\x0c", 3);
    put(c + 90, SIM_MAC_ADDRESS, 12);
    put(c + 102, "RV\x01", 3);
    uint8_t sum = 0;
    for (int i = 0; i < 105; ++i)
        sum = static_cast<uint8_t>(sum + c[i]);
    c[105] = static_cast<uint8_t>(0x100 - sum);
    c[106] = 0x78;  // end tag
}

}  // namespace

void fill_sample_board(uint8_t* e) {
    // Init region: a header, then a counting pattern.
    static const char header[] = "RW-SIM INIT REGION v1 ";
    for (uint32_t a = 0; a < 0x400; ++a)
        e[a] = static_cast<uint8_t>(a * 7 + 3);
    put(e, header, sizeof header - 1);

    for (int i = 0; i < COPIES; ++i)
        fill_vpd_copy(e + 0x400 + COPY_STRIDE * static_cast<uint32_t>(i));

    // The rest of the VPD area: a pattern that a clear visibly changes.
    for (uint32_t a = 0x400 + COPY_STRIDE * COPIES; a < SIM_EEPROM_SIZE; ++a)
        e[a] = static_cast<uint8_t>((a >> 4) ^ 0x5A);

    // Bytes that bulk writes and clears must leave alone.
    static const char keep[] = "SKIPWINDOW-KEEP:";
    for (uint32_t a = 0x1AE0; a <= 0x1BBB; ++a)
        e[a] = static_cast<uint8_t>(keep[(a - 0x1AE0) % 16]);

    // The status word is never these bytes.
    std::memset(e + sim_hw::EEPROM_STATUS_ADDR, 0xFF, 4);
}
