// The rules a planned change passes before it is applied (-plan applies
// them too, with the same refusals): write never changes the board's
// identity; while the journal of an interrupted change stands, nothing
// takes an identity from the half-written EEPROM or makes it permanent,
// and the journal is cleared only when the EEPROM is left in a known state;
// restore puts back only a backup that can undo a change, and never another
// board's identity unless asked to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/image_file.h"
#include "eeprom/journal.h"
#include "eeprom/plan.h"
#include "eeprom/request.h"

// The SHA-256 of bytes as 64 hexadecimal digits.
std::string sha256_of(const std::vector<uint8_t>& bytes);

// The journal standing for the session's device, noted on standard error
// (interrupted_note).  One whose change left nothing behind (it names a
// backup that is gone, or none, and the EEPROM holds what it held before
// that change) is cleared with a note instead; finding that out costs one
// read of the whole EEPROM.  Throws failure(1) when the journal cannot be
// trusted.
std::optional<journal_record> standing_journal(adapter_session& s);

// Applies the rules to p, the plan of rq on fn, with standing the journal
// that stands (if any) and image what rq's image file held: sets
// p.refusal when the change must not be made, and p.clears_interruption
// when, finished, it leaves the EEPROM in a known state (the interrupted
// command completed, or a whole image restored).
void apply_change_rules(change_plan& p, const request& rq, const std::optional<journal_record>& standing,
                        const image_file* image, const platform& host, const pci_function& fn);

// The journal record of p, the plan of rq on the session, whose backup (its
// absolute path, empty for none) was saved.
journal_record journal_record_of(adapter_session& s, const request& rq, const change_plan& p,
                                 const image_file* image, const std::string& backup);
