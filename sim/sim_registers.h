// The adapter's registers as the model knows them: offsets, bits and
// values written down here from the adapter's register description, not
// taken from the program's own header.  A program that reaches for a wrong
// offset or bit then meets a model that does not answer as it expects, and
// the tests show it.
#pragma once

#include <cstdint>

namespace sim_hw {

// ---- the register window (BAR0) -------------------------------------------
// Every register is 32 bits, little-endian, at a 4-byte-aligned offset.
constexpr uint32_t WINDOW_SIZE = 0x40000;

constexpr uint32_t REG_VPD_TIMER = 0x3018;        // bits 16-31 cleared: timer off
constexpr uint32_t REG_CFG_REQUEST = 0x3060;      // a request word selects a config dword
constexpr uint32_t REG_CFG_DATA = 0x3064;         // reads or writes the selected dword
constexpr uint32_t REG_UP_RESET = 0x7B00;         // UP_RESET_HOLD: microprocessor held
constexpr uint32_t REG_FULLCHIP_RESET = 0x19428;  // FULLCHIP_RESET_GO resets the chip

constexpr uint32_t UP_RESET_HOLD = 1u << 0;
constexpr uint32_t VPD_TIMER_ENABLE = 0xFFFF0000u;
constexpr uint32_t FULLCHIP_RESET_GO = 3;

// ---- the configuration-space backdoor -------------------------------------
// A request word is the key ORed with a configuration offset below 0x1000;
// the data register then reaches the dword at that offset (its two low
// bits ignored).  The model honours no other request word.
constexpr uint32_t CFG_REQUEST_KEY = 0x4F000000u;
constexpr uint32_t CFG_REQUEST_OFFSET = 0x00000FFFu;  // the offset's field
constexpr uint32_t CFG_SPACE_SIZE = 0x1000;

constexpr bool cfg_request_valid(uint32_t request) { return (request & ~CFG_REQUEST_OFFSET) == CFG_REQUEST_KEY; }
constexpr uint32_t cfg_request_offset(uint32_t request) { return request & CFG_REQUEST_OFFSET & ~3u; }

// ---- the PCI VPD capability in configuration space ------------------------
constexpr uint32_t CFG_VPD_ADDR = 0xD0;  // ID, next pointer, VPD address, flag
constexpr uint32_t CFG_VPD_DATA = 0xD4;  // one EEPROM data word, byte A in bits 0-7
constexpr uint32_t VPD_CAP_ID = 0x03;    // bits 0-7 of CFG_VPD_ADDR, read-only
constexpr unsigned VPD_ADDRESS_SHIFT = 16;
constexpr uint32_t VPD_ADDRESS_MASK = 0x7FFF;  // 15 bits, after the shift
constexpr uint32_t VPD_FLAG = 1u << 31;        // written 0: read; 1: write

// ---- the EEPROM behind it -------------------------------------------------
// VPD addresses are EEPROM addresses rotated by 0x400 bytes: VPD address 0
// is EEPROM address 0x400, VPD address 0x7C00 is EEPROM address 0.
constexpr uint32_t VPD_ROTATION = 0x400;
constexpr uint32_t EEPROM_STATUS_ADDR = 0x7FFC;  // reads the status, never written
constexpr uint32_t EEPROM_STATUS_BUSY = 1u << 0;

// The 4-byte-aligned EEPROM address of the word at a VPD address.
constexpr uint32_t eeprom_word_address(uint32_t vpd_address) {
    return (vpd_address + VPD_ROTATION) & VPD_ADDRESS_MASK & ~3u;
}
// The VPD address of an EEPROM address (for tests that drive the model).
constexpr uint32_t vpd_address_of(uint32_t eeprom_address) {
    return (eeprom_address - VPD_ROTATION) & VPD_ADDRESS_MASK;
}

}  // namespace sim_hw
