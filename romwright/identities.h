// The identities of the boards one run read, compared: a MAC address or a
// serial number on two boards of the host is a duplicate; a blank one is
// never compared.  A board is one PCI device: its functions share one
// EEPROM, hence one identity, and count once.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "eeprom/vpd_report.h"
#include "romwright/vpd_render.h"

// The VPD report of one adapter function, as one run read it.
struct board_read {
    std::string adapter;  // DDDD:BB:SS.F
    const vpd_report* report;
};

struct identity_check {
    struct shared {
        const char* field;  // "mac" or "serial"
        std::string value;  // as compared (compared_identity()), escaped
        std::vector<std::string> adapters;  // every function holding it, in run order
    };
    struct blank {
        const char* field;
        std::vector<std::string> adapters;
    };
    std::vector<shared> duplicates;  // by field, then value
    std::vector<blank> blanks;       // the fields blank on some board; none: no entry
    // Identities on more than one board, per field ("mac", "serial").
    int duplicated(const char* field) const;
};

// A field's value is blank when no good copy holds it, or it holds only
// spaces, '0's, 0x00 bytes or 0xFF bytes (or, for a MAC address, only 'F's).
// value: escaped as the VPD report shows it.
bool identity_blank(const char* field, bool has_value, const std::string& value);

identity_check compare_identities(const std::vector<board_read>& boards);

// One line per duplicate and per blank field, "romwright: ...", to notes.
void note_identity_check(const identity_check& c, std::FILE* notes);
// The run's "duplicates" and "blank" keys.
void put_identity_check(json_value& doc, const identity_check& c);
