// EEPROM operations: image types and regions, the board identity, the VPD
// identity transfer and the options of a change.  The map is
// common/eeprom_map.h, the bulk transfer eeprom/bulk.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/eeprom_map.h"
#include "eeprom/vpd.h"

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

// ---- VPD identity transfer ----------------------------------------------
// The identity fields of a VPD copy (VPD_COPY_SIZE bytes).
board_identity identity_of_copy(const uint8_t* copy);
// What keeps a copy's identity from being carried into an image.
struct identity_faults {
    bool wrong_tag = false;  // the copy does not begin with the identifier-string tag
    uint8_t tag = 0;         // the byte it begins with
    bool part_number = false;    // not printable text
    bool serial_number = false;  // not printable text
    bool mac_address = false;    // not 12 hexadecimal digits
};
// The copy's faults, or nullopt when its identity may be carried: it begins
// with the identifier-string tag, part and serial number are printable
// ASCII and the MAC address is 12 hexadecimal digits.
std::optional<identity_faults> identity_fault(const uint8_t* copy);

// Why a copy of an image cannot take an identity (insert_identity).
struct identity_take_fault {
    enum class cause {
        past_end,           // the copy runs past the end of the file (file_size bytes)
        wrong_tag,          // it does not begin with 0x82 0x10 (tag: its first two bytes)
        no_checksum_field,  // the structure walk finds no RV field (problems: what it found)
    };
    cause why = cause::past_end;
    size_t offset = 0;  // the copy's file offset
    size_t file_size = 0;
    uint8_t tag[2] = {0, 0};
    std::vector<vpd_problem> problems;
};
// Writes the identity into every one of `copies` VPD copies of the image
// (1024 bytes apart from first_copy_offset) and fixes each copy's RV
// checksum, all or nothing: when any copy cannot take it (runs past the
// image, wrong tag, no RV field found by the structure walk) the image is
// left unchanged and the result names the copy by its file offset and the
// reason; nullopt when every copy took it.
std::optional<identity_take_fault> insert_identity(std::vector<uint8_t>& image, int32_t copies, int32_t first_copy_offset,
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
