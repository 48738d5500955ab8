// The report on a set of VPD copies, shared by the vpd command (copies read
// from the board) and romwright-vpd (copies in an image file): each copy
// decoded, the identity compared across the good copies, rendered as text
// or as one JSON document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "eeprom/vpd.h"

// One identity field compared across the good copies.
struct vpd_field_agreement {
    const char* keyword;  // "PN", "SN", "NA"
    const char* name;     // "part number", "serial number", "MAC address"
    bool has_value = false;  // false: no good copy, or most good copies lack the keyword
    std::string value;       // escaped: the value most good copies hold (earliest on a tie)
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
    // 0 when every copy is good and the good copies agree on all three
    // fields, else 1.
    int status() const;
};

// Decodes `count` copies of VPD_COPY_SIZE bytes from area; copy i sits at
// EEPROM address first_address + i * VPD_COPY_SIZE.
vpd_report make_vpd_report(const uint8_t* area, int count, uint32_t first_address);

// One block per copy (address, ID string, PN, EC, SN, NA, other keywords,
// checksum, problems), then one summary line.  Every byte from the copies is
// shown escaped (vpd_escape).
std::string render_vpd_report_text(const vpd_report& report);
// The same as one JSON document, ending in a newline.
std::string render_vpd_report_json(const vpd_report& report);

// A failure as one JSON document: {"error": text without its final line
// end, "status": status}, ending in a newline.
std::string render_json_error(const std::string& text, int status);
