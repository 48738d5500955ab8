// How a run is shown: the observers that render what a command reports
// while it runs, and the pieces the command rows build their text and
// their JSON documents from.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/observer.h"
#include "eeprom/transaction.h"
#include "romwright/vpd_render.h"

class progress_bar;

// Text on standard output (out: stderr where the metrics take standard
// output) as the commands have always shown it; notes on standard error.
// bar: the progress bar on a terminal, or nullptr.
std::unique_ptr<observer> make_text_observer(progress_bar* bar = nullptr, FILE* out = stdout);
// Under -json standard output carries only the document: notes, and texts
// shown along the way, go to standard error.
std::unique_ptr<observer> make_json_observer(progress_bar* bar = nullptr);
// One of several adapters: every line, on standard output and standard
// error, prefixed with label (the adapter's address) and ": ", written
// whole under lines (held by the run, shared by all its adapters).  On a
// terminal, both kinds of observer keep a row of the progress bar.
std::unique_ptr<observer> make_prefixed_observer(const std::string& label, bool json, progress_bar* bar,
                                                 std::mutex& lines, FILE* out = stdout);

// Bytes of a board's identity fields: printable ASCII as it is, every other
// byte as "\xNN" (a terminal never gets control bytes from a board).
std::string printable_field(const std::string& bytes);

// The hex dump of bytes [start, end), buf holding them from start: a line
// per 16 addresses, headed by the address of its first column and closed by
// an ASCII column; partial first and last lines keep their columns.
std::string render_dump(const uint8_t* buf, uint32_t start, uint32_t end);

// -plan's text: what command on adapter would do.
std::string plan_text(const char* command, const std::string& adapter, const change_result& r);

// -plan of a change on an adapter whose EEPROM cannot be read whole (a
// kernel driver bound, or registers the kernel does not let this program
// map): why, and copy 0 as the kernel's VPD file shows it.
struct outline_view {
    std::string why;       // "a kernel driver is bound to 0000:04:00.0 (driver rwnic)"
    std::string vpd_file;  // the function's kernel VPD file
    const char* copy0_state = nullptr;  // "good", "faulty", "blank"; nullptr: the file was not read
    board_identity copy0_identity;
    std::string unread;  // the file was not read: what the kernel said
};

// -plan's outline (s from outline_change()) where the EEPROM cannot be read
// whole: the words of the command's range, copy 0 as the kernel shows it,
// and what only the whole EEPROM tells.
std::string plan_outline_text(const char* command, const std::string& adapter, const plan_summary& s,
                              const outline_view& v);

// What a refused change says: why, and how to go on.
std::string refusal_text(const change_refusal& r);
// The note of a refusal of write's image that -force-image let through.
std::string forced_image_note(const change_refusal& r);

// "part number ..., serial number ..., MAC address ...", escaped.
std::string identity_text(const board_identity& id);

// The pieces of the documents.
json_value identity_json(const std::optional<board_identity>& id);
json_value plan_json(const plan_summary& s);
json_value repairs_json(const std::vector<copy_repair>& repairs);
json_value interrupted_json(const journal_record& r);
