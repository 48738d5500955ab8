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

// Which rules a change answers to, as its command says.
struct change_rules_use {
    // It takes the board's identity from the EEPROM (write -f/-fvpd,
    // repair): refused while a journal stands, unless it completes that
    // change.
    bool takes_identity = false;
    // It must leave the board's identity as it is (write).
    bool keeps_identity = false;
    // It puts a saved whole EEPROM back (restore): only a backup that can
    // undo a change, never another board's identity unless asked to; once
    // finished, the EEPROM is in a known state.
    bool restores = false;
};

// A change as the transaction and its rules need it beyond its plan.
struct change_request {
    std::string words;  // the command as its journal names it: "write -f:img.bin", "restore b.bin", "repair"
    change_rules_use rules;
    std::string file;  // write, restore: the image file as named
    change_options options;
    image_file* image = nullptr;  // write, restore: the image file
    std::optional<journal_record> interrupted;  // the journal standing for the device
    std::vector<std::string> line;  // the run's command line as given, -b included (for the journal)
};

// The journal standing for the session's device, told to the observer
// (notice_kind::change_interrupted).  One whose change left nothing behind
// (it names a backup that is gone, or none, and the EEPROM holds what it
// held before that change) is cleared with notice_kind::journal_cleared
// instead; finding that out costs one
// read of the whole EEPROM.  Throws failure(1) when the journal cannot be
// trusted.
std::optional<journal_record> standing_journal(adapter_session& s);

// Applies the rules to p, the plan of rq on fn: sets p.refusal when the
// change must not be made, and p.clears_interruption when, finished, it
// leaves the EEPROM in a known state (the interrupted command completed, or
// a whole image restored).
void apply_change_rules(change_plan& p, const change_request& rq, const site& where, const pci_function& fn);

// The journal record of p, the plan of rq on the session, whose backup (its
// absolute path, empty for none) was saved.
journal_record journal_record_of(adapter_session& s, const change_request& rq, const change_plan& p,
                                 const std::string& backup);

// What a restore of the file at path needs of it: whether its name says it
// was saved while an interrupted change stood.
bool saved_while_interrupted(const std::string& path);
