// The history of changes: one JSON record a line in the site's history
// file, appended by every run of a changing command that reached an
// adapter, and read back by the history command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/journal.h"
#include "romwright/vpd_render.h"

constexpr int HISTORY_SCHEMA = 1;

// The EEPROM as a record gives it: SHA-256, identity, good VPD copies.
json_value eeprom_state_json(const std::vector<uint8_t>& eeprom);

// Appends one record (one line) to path: the folder made 0700 when
// missing, the file created 0600, opened without following a link or
// blocking (a FIFO, a device, a folder or a link in its place is refused
// at once), O_APPEND, synced.  Returns an empty string, or the warning that
// says why it was not written.
std::string append_history(const std::string& path, const json_value& record);

// A record's fixed fields: schema, a new id, host, version, user.
json_value history_record_base();

// The record of a change another run left unfinished (its journal), once
// per journal: empty when the journal says a record tells of it, or path
// already holds its record (keyed by the journal's id, or for a journal
// without one by its adapter and second).
std::optional<json_value> interrupted_record(const std::string& path, const journal_record& j,
                                             const pci_function& fn);

// The longest line read as a record; a longer one is skipped unread.
constexpr size_t HISTORY_LINE_MAX = 1024 * 1024;

// The records of path in file order.  The file is opened without following
// a link or blocking and read only when it is a regular file, a line at a
// time (none longer than HISTORY_LINE_MAX kept).  Each line that is no
// record, or a damaged one (a key a reader looks at of the wrong JSON
// type), adds a warning naming its line number and is skipped.
struct history_read {
    bool exists = false;  // something is at path
    std::string error;    // why it could not be read ("the history file ... cannot be read: ..."); empty: read
    std::vector<json_value> records;
    std::vector<std::string> warnings;
};
history_read read_history(const std::string& path);

// The systemd journal's MESSAGE_ID of an outcome's records (done, refused,
// failed, interrupted); nullptr for any other word.
const char* journal_message_id(const std::string& outcome);
// A record as journal fields, each "NAME=value": MESSAGE (one line),
// MESSAGE_ID, PRIORITY, SYSLOG_IDENTIFIER and the record's own fields as
// ROMWRIGHT_*; a null or missing value gives no field.
std::vector<std::string> journal_fields(const json_value& record);

// Sends one record's journal fields to the systemd journal (romwright/
// journal_sink.cpp, in the real program where libsystemd is found); what
// the journal answers is not looked at.
void send_history_to_journal(const std::vector<std::string>& fields);

// One line of a record as the history command prints it.
std::string history_line(const json_value& record);
// True when record's adapter is one of addresses (each matched as -b
// matches it).
bool history_matches(const json_value& record, const std::vector<adapter_address>& addresses);
