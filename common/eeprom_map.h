// The EEPROM's map: its size, regions and fixed addresses, the fields of a
// VPD copy, and how four bytes make a word.  Constants and arithmetic only.
#pragma once

#include <cstdint>

// ---- EEPROM map (byte addresses as commands and image files number them) --
constexpr uint32_t SEEPROM_SIZE = 0x8000;      // 32 KiB
constexpr uint32_t INIT_REGION_START = 0x0000;
constexpr uint32_t INIT_REGION_SIZE = 0x0400;  // 1024 bytes
constexpr uint32_t VPD_AREA_START = 0x0400;
constexpr uint32_t VPD_AREA_SIZE = 0x7C00;     // 31744 bytes
constexpr uint32_t VPD_COPY_SIZE = 0x0400;     // one PCI VPD record
constexpr uint32_t SKIP_WINDOW_FIRST = 0x1AE0; // words passed over by writes,
constexpr uint32_t SKIP_WINDOW_LAST = 0x1BB9;  // clears and compares
constexpr uint32_t STATUS_WORD_ADDR = 0x7FFC;  // reads the EEPROM's status, never written
constexpr uint32_t BOARD_DETAILS_ADDR = 0x0800;  // the copy the identity is read from
constexpr uint32_t CLEAR_VPD_REGION_SIZE = 0x0800;
constexpr int CLEAR_VPD_REGIONS = 8;
constexpr int VPD_COPIES_IN_IMAGE = 14;

inline bool in_skip_window(uint32_t a) { return a >= SKIP_WINDOW_FIRST && a <= SKIP_WINDOW_LAST; }

// ---- identity fields of a VPD copy -------------------------------------
constexpr int PART_NUM_LEN = 16;
constexpr int SERIAL_NUM_LEN = 24;
constexpr int MAC_ADDRESS_LEN = 12;

// Offsets inside a VPD copy.
constexpr uint32_t VPD_PART_NUM_OFFSET = 25;
constexpr uint32_t VPD_SERIAL_NUM_OFFSET = 63;
constexpr uint32_t VPD_NA_KEYWORD_OFFSET = 87;
constexpr uint32_t VPD_MAC_OFFSET = 90;

// ---- word assembly (byte i+k is bits 8k..8k+7; same on either byte order) -
inline uint32_t word_from_bytes(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void bytes_from_word(uint32_t w, uint8_t* p) {
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w >> 16);
    p[3] = static_cast<uint8_t>(w >> 24);
}
