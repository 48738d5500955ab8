// The report on a set of VPD copies, shared by the vpd command (copies read
// from the board) and romwright-vpd (copies in an image file): each copy
// decoded and the identity compared across the good copies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "eeprom/vpd.h"

// One identity field compared across the good copies.
struct vpd_field_agreement {
    const char* keyword;  // "PN", "SN", "NA"
    const char* name;     // "part number", "serial number", "MAC address"
    bool has_value = false;  // false: no good copy, or most good copies lack the keyword
    std::string value;       // escaped: the value most good copies hold (earliest on a tie)
    std::string bytes;       // that value's bytes as the copies hold them
    std::vector<int> differing;  // indexes of good copies holding anything else
};

struct vpd_report {
    struct copy {
        int index;
        uint32_t address;  // EEPROM address
        std::vector<uint8_t> bytes;
        vpd_copy_info info;
    };
    std::vector<copy> copies;
    int good = 0;
    vpd_field_agreement fields[3];

    // True when there is a good copy and the good copies agree on all three
    // fields.
    bool good_copies_agree() const;
    // True when every copy is good and the good copies agree on all three
    // fields.
    bool all_good() const { return good == static_cast<int>(copies.size()) && good_copies_agree(); }
    // The check's verdict as a kind: none when all_good(), else failed.
    error_kind verdict() const { return all_good() ? error_kind::none : error_kind::failed; }
};

// Decodes `count` copies of VPD_COPY_SIZE bytes from area; copy i sits at
// EEPROM address first_address + i * VPD_COPY_SIZE.
vpd_report make_vpd_report(const uint8_t* area, int count, uint32_t first_address);

// The report on copy 0 alone (EEPROM address VPD_AREA_START) as the
// kernel's VPD file shows it: the file's bytes, from the copy's start
// through its end tag.  The copy is decoded within what the file shows (at
// most one copy's bytes); its bytes past the file read as 0xFF, as erased.
vpd_report make_kernel_copy_report(const std::vector<uint8_t>& file);

// "good", "blank" or "faulty".
const char* copy_state_name(const vpd_copy_info& info);
// The copy's keyword data, escaped (vpd_escape); nullopt when it has no
// such keyword.
std::optional<std::string> keyword_text(const vpd_report::copy& c, const char* name);
// The copy's identifier string, escaped; nullopt when it has none.
std::optional<std::string> id_string_text(const vpd_report::copy& c);
