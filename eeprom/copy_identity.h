// The identity a VPD copy holds, judged alike everywhere (vpd, repair, the
// identity a write trusts, a backup's name, a restore's check): the part
// number, serial number and MAC address at their fixed offsets, which the
// identity transfer reads and writes, and the PN, SN and NA keywords the
// copy's structure holds, which the vpd command compares.  A copy whose NA
// keyword is renamed holds another identity than one that has it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "eeprom/eeprom.h"
#include "eeprom/vpd_report.h"

struct held_identity {
    board_identity fields;                  // at the fixed offsets
    std::optional<std::string> pn, sn, na;  // the keywords' data; nullopt: the copy lacks it
    bool operator==(const held_identity& o) const {
        return fields == o.fields && pn == o.pn && sn == o.sn && na == o.na;
    }
    bool operator!=(const held_identity& o) const { return !(*this == o); }
};

held_identity identity_held(const vpd_report::copy& c);

// The identity a strict majority of r's good copies holds; nullopt when no
// identity is held by more than half of them (or none is good).
std::optional<held_identity> majority_held(const vpd_report& r);

// One field of an identity, as boards are told apart by it.
enum class identity_field { part_number, serial_number, mac_address };
// The value a field's bytes are compared by wherever identities are
// compared (boards against each other, a board against a saved image): NUL
// and blank padding dropped at either end, a MAC address's letters in
// capitals.
std::string compared_identity(identity_field f, const std::string& bytes);
// True when a and b, bytes of field f, are one value.
bool same_identity(identity_field f, const std::string& a, const std::string& b);

// The 14 VPD copies of a whole EEPROM image (32768 bytes), decoded.
vpd_report copies_of(const uint8_t* eeprom);

// The identity (fixed-offset fields) a strict majority of the good copies of
// a whole EEPROM image holds; nullopt when none.
std::optional<board_identity> majority_identity(const uint8_t* eeprom);
