// EEPROM operations: bulk transfer, commands and the VPD identity transfer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

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

// ---- image types ------------------------------------------------------
enum class image_type {
    vpd,   // -fvpd: the VPD area, 31744 bytes, behind the init region
    init,  // -finit: the init region, 1024 bytes
    full,  // -f: init region and VPD area, -len bytes from -addr
};

// Where an image goes in the EEPROM and how big its file must be.
struct image_region {
    const char* area;  // what the file's size is compared with: "VPD area", "Init area", "VPD+Init area"
    const char* name;  // what must end inside the EEPROM: "VPD image", "Init image", "image"
    uint32_t first;
    uint32_t size;
};
// The region of an image of type given with -addr first and -len size.
inline image_region image_region_of(image_type type, uint32_t first, uint32_t size) {
    switch (type) {
    case image_type::vpd:
        return {"VPD area", "VPD image", first + VPD_AREA_START, VPD_AREA_SIZE};
    case image_type::init:
        return {"Init area", "Init image", first, INIT_REGION_SIZE};
    case image_type::full:
        break;
    }
    return {"VPD+Init area", "image", first, size};
}
// A saved whole-EEPROM image (restore): every byte from 0.
constexpr image_region WHOLE_EEPROM_IMAGE = {"VPD+Init area", "image", 0, SEEPROM_SIZE};

constexpr uint8_t CHECKSUM_NOT_WRITTEN = 255;

// ---- identity fields ---------------------------------------------------
constexpr int PART_NUM_LEN = 16;
constexpr int SERIAL_NUM_LEN = 24;
constexpr int MAC_ADDRESS_LEN = 12;

// Offsets inside a VPD copy.
constexpr uint32_t VPD_PART_NUM_OFFSET = 25;
constexpr uint32_t VPD_SERIAL_NUM_OFFSET = 63;
constexpr uint32_t VPD_NA_KEYWORD_OFFSET = 87;
constexpr uint32_t VPD_MAC_OFFSET = 90;

// A board's identity as a VPD copy carries it: the raw bytes of the part
// number (16), serial number (24) and MAC address (12) fields.
struct board_identity {
    std::string part_number;
    std::string serial_number;
    std::string mac_address;
    bool operator==(const board_identity& o) const {
        return part_number == o.part_number && serial_number == o.serial_number && mac_address == o.mac_address;
    }
    bool operator!=(const board_identity& o) const { return !(*this == o); }
};

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

// ---- bulk transfer ------------------------------------------------------
class adapter_session;

// The buffer holds exactly `length` EEPROM bytes from `address` (a multiple
// of 4) in address order; nothing beyond it is read or written.
void read_seeprom(adapter_session& s, uint8_t* buf, uint32_t address, uint32_t length);

// How a transfer of planned words counts its progress and checks its time.
struct word_transfer {
    const uint8_t* eeprom_before;     // the whole EEPROM as read before the change
    const uint8_t* eeprom_after;      // the whole EEPROM as it is to be: each word's value
    const std::vector<uint32_t>* words;  // the addresses to write, ascending
    uint32_t first;                   // the range the command covers, for progress by offset
    uint32_t length;
    bool count_words;                 // progress and run-time check count the words written (-changed,
                                      // repair), not the range's bytes
    bool show_progress;               // erases show none
};

// The outcome of a transfer: how many words it wrote and whether the EEPROM
// changed (a word that did not take leaves it as it was).
struct transfer_outcome {
    uint32_t words_written = 0;
    bool changed = false;
    // A transfer that stopped at a word: its address, and what it read back
    // when it was read back (none: its write or its read-back went
    // unanswered, so what it holds is not known).
    std::optional<uint32_t> stopped_at;
    std::optional<uint32_t> stopped_word;
};

// Writes the planned words, each read back once its write cycle has ended.
// A word that reads back different throws failure (its ERROR line) after
// out has been brought up to date; so does every other failure.  Progress
// lines go to the session's observer every two seconds.  Returns false when
// a run of more than 32000 bytes took 4 seconds or less (the write cycles
// cannot have happened).
bool write_words(adapter_session& s, const word_transfer& t, transfer_outcome& out);

// Compares [address, address + length) with buf; every word that differs is
// told to the observer and returned as {address, file word, EEPROM word}.
struct word_mismatch {
    uint32_t address, file, eeprom;
};
std::vector<word_mismatch> verify_seeprom(adapter_session& s, const uint8_t* buf, uint32_t address, uint32_t length);

// ---- VPD identity transfer ----------------------------------------------
// The identity fields of a VPD copy (VPD_COPY_SIZE bytes).
board_identity identity_of_copy(const uint8_t* copy);
// What keeps the copy's identity from being carried into an image, or
// nullopt when it may be: it begins with the identifier-string tag, part and
// serial number are printable ASCII and the MAC address is 12 hexadecimal
// digits.
std::optional<std::string> identity_fault(const uint8_t* copy);
// Writes the identity into every one of `copies` VPD copies of the image
// (1024 bytes apart from first_copy_offset) and fixes each copy's RV
// checksum, all or nothing: when any copy cannot take it (runs past the
// image, wrong tag, no RV field found by the structure walk) the image is
// left unchanged and the result names the copy by its file offset and the
// reason; nullopt when every copy took it.
std::optional<std::string> insert_identity(std::vector<uint8_t>& image, int32_t copies, int32_t first_copy_offset,
                                           const board_identity& id);
// Sets to `value` in one copy (VPD_COPY_SIZE bytes) exactly the bytes that
// insert_identity() rewrites there: in a copy that begins with the tag 0x82
// 0x10, the part and serial number fields, the MAC address field where the
// NA keyword stands at offset 87, then the RV checksum byte the structure
// walk finds.  Nothing else, wherever other PN, SN or NA keywords stand.
void mask_identity(uint8_t* copy, uint8_t value);
// Writes the checksum of one copy (size bytes) into its RV field, found by
// the structure walk; returns it, or CHECKSUM_NOT_WRITTEN when there is none.
uint8_t update_checksum(uint8_t* copy, uint32_t size);
uint8_t get_checksum(const uint8_t* bytes, uint32_t count);

// ---- commands -----------------------------------------------------------
// How the commands that change the EEPROM go about it.
struct change_options {
    std::string backup_file;   // -backup FILE: the backup goes there; empty: the site's folder
    bool no_backup = false;    // -nobackup
    bool changed_only = false; // -changed: write only differing words
    bool plan_only = false;    // -plan: show the plan, change nothing
    bool force_identity = false;  // -force-identity: restore may put another board's identity on this one
};
