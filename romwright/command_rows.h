// The commands, one row each (romwright/command_rows.cpp): the word and its
// argument, the help lines, whether the command works on the range and
// whether it changes the EEPROM, its preparation (the checks made before
// any adapter is touched), its run, its verdict, and its text and JSON.
// --help, the word walk, dispatch and every document's "command" come from
// the rows: a command is a row and its functions.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "common/replace_file.h"
#include "eeprom/transaction.h"
#include "romwright/history.h"
#include "romwright/list.h"
#include "romwright/render.h"
#include "romwright/request.h"

// history: the records of the boards asked for, in file order.
struct history_result {
    std::vector<json_value> records;
    std::vector<std::string> warnings;  // the lines skipped, each its warning
};

// A command's result: one type per command.
using command_output =
    std::variant<std::monostate, dump_result, read_result, verify_result, vpd_report, change_result, list_result,
                 history_result>;

// One command's run on one adapter (or, for list, on the host), as the
// front end renders it.
struct run_outcome {
    std::string adapter;   // DDDD:BB:SS.F, or the -b as given when it found none; empty: none
    bool opened = false;   // an adapter session was opened
    std::optional<journal_record> interrupted;  // an earlier change on the device that never finished
    command_output output;
    error_kind kind = error_kind::none;  // how it ended: the exit status through exit_status_of()
    std::string error;                   // what the failure or refusal says; empty: nothing
    std::vector<failure::fact> facts;    // the failure's facts, for its JSON document
    bool error_shown = false;            // the text already went out with the command's text
    int signal = 0;                      // deferred while the microprocessor was held; 0: none
    // A change: the EEPROM as read, and as planned (empty: no plan made).
    std::vector<uint8_t> eeprom_before, eeprom_planned;
    std::vector<std::string> warnings;  // what went wrong beside the result (the history record)
    int status() const { return exit_status_of(kind, signal); }
};

// What the word of a command takes after it.
enum class word_argument {
    none,
    file,   // read FILE, restore FILE
    image,  // write, verify: -f:FILE, -fvpd:FILE, -finit:FILE
};

// How a command uses -addr and -len.
enum class range_use {
    none,      // passes both over
    addr_len,  // [-addr, -addr + -len)
    addr,      // -addr only: its own length from there
};

// A stretch of the EEPROM that a command writes or compares and that must
// end inside it, beyond the -addr/-len range.
struct eeprom_span {
    const char* name;  // "VPD image", "Init image", "Init region"
    uint32_t first;
    uint32_t size;
};

struct help_line {
    const char* synopsis;  // "write -f:FILE"; nullptr ends the lines
    const char* text;
};

// What a command's run works with.
struct command_context {
    platform& host;
    const site& where;
    const request& rq;
    observer& obs;
    adapter_session* session;  // nullptr for a command that needs no adapter
    image_file* image;         // what the preparation read; nullptr: none
};

// What a command is and does, as flags of its row.
enum command_flag : unsigned {
    CHANGES_EEPROM = 1u << 0,    // a change, applied as one transaction
    NEEDS_ADAPTER = 1u << 1,     // runs on an adapter named with -b (all but list)
    FILE_PER_ADAPTER = 1u << 3,  // with several adapters, each gets a file of its own
    REPORTS_IDENTITY = 1u << 4,  // its result holds the board's identity: compared across adapters, -prometheus
};

// The options a command takes, one bit each (an option's `takes`); an
// option given to a command whose row lacks its bit is refused before
// anything is opened.
enum option_bit : unsigned {
    TAKES_B = 1u << 0,               // -b
    TAKES_ADDR = 1u << 1,            // -addr
    TAKES_LEN = 1u << 2,             // -len
    TAKES_BACKUP = 1u << 3,          // -backup, -nobackup
    TAKES_CHANGED_OPTION = 1u << 4,  // -changed
    TAKES_PLAN = 1u << 5,            // -plan
    TAKES_FORCE_IDENTITY = 1u << 6,  // -force-identity
    TAKES_FORCE_IMAGE = 1u << 7,     // -force-image
    TAKES_APPROVED = 1u << 8,        // -approved
    TAKES_PROMETHEUS = 1u << 9,      // -prometheus
    TAKES_JSON = 1u << 10,           // -json
};

struct command_row {
    const char* word;
    word_argument argument;
    const char* image_usage;  // an image argument not beginning with -f: the usage error's message
    help_line help[3];
    range_use range;
    unsigned flags;  // command_flag
    // The span beyond the range that must end inside the EEPROM; nullptr: none.
    std::optional<eeprom_span> (*span)(const request& rq);
    // The checks of files and names before any adapter is touched; returns
    // the image file read for the run, if any.  nullptr: none.
    std::unique_ptr<image_file> (*prepare)(const request& rq, const site& where, observer& obs);
    // Fills o.output; throws failure after bringing it up to date.
    void (*run)(command_context& ctx, run_outcome& o);
    // Sets o.kind (and o.error for a refusal) from a finished run.
    void (*verdict)(run_outcome& o);
    // The text that follows the run (dump's hex dump, read's last line,
    // vpd's report, -plan's plan, repair's summary).
    std::string (*text)(const request& rq, const run_outcome& o);
    // The command's own keys of its document.
    void (*json)(json_value& doc, const request& rq, const run_outcome& o);
    // The options it takes (option_bit).
    unsigned options;

    bool takes(unsigned option) const { return (options & option) == option; }
    bool changes_eeprom() const { return (flags & CHANGES_EEPROM) != 0; }
    bool needs_adapter() const { return (flags & NEEDS_ADAPTER) != 0; }
    bool file_per_adapter() const { return (flags & FILE_PER_ADAPTER) != 0; }
    bool reports_identity() const { return (flags & REPORTS_IDENTITY) != 0; }
    bool uses_range() const { return range != range_use::none; }
};

// The rows, in the order --help lists them, ended by a row whose word is
// nullptr.
extern const command_row k_command_rows[];
// The row of word, or nullptr.
const command_row* find_command(const char* word);
// The commands that take option (an option_bit), as "write or restore".
std::string commands_taking(unsigned option);

// The checks of rq before any file or adapter: -b given, then the range
// (-addr + -len, -addr a multiple of 4, the command's own span).  Throws
// failure(1).
void check_request(const request& rq);
// Everything the command needs from files and options, checked (and its
// image file read) before the adapter is touched.  Throws failure with the
// command's own message and status.
std::unique_ptr<image_file> prepare_command(const request& rq, const site& where, observer& obs);
// The checks of read's output file: a name beginning with '-' is refused,
// and so is, under any name, a file the platform itself works on, and
// whatever the output may not replace (kept_paths()).  Throws failure(1).  Several adapters check each adapter's own file with it.
void check_read_file(const std::string& file, const site& where, const request& rq);
// The files and folders of the site and of rq's run that no output of the
// run may replace (common/replace_file.h).
std::vector<kept_path> kept_paths(const site& where, const request& rq);
// Runs rq's command on an open session into o (the journal standing, the
// command's result, the signal deferred, the verdict).  Throws failure
// after o has been brought up to date.
void run_on_session(adapter_session& s, const request& rq, image_file* image, run_outcome& o);
// Runs rq's command that needs no adapter (list) on the host.
void run_on_host(platform& p, const site& where, const request& rq, observer& obs, run_outcome& o);
// Records a failure that ended o's run.
void note_failure(run_outcome& o, const failure& f);

// The text of a finished run: its failure's text unless already shown, or
// the row's text.
std::string outcome_text(const request& rq, const run_outcome& o);
// The run's whole JSON document: "command" and "adapter" (for a command on
// an adapter), the row's keys, "error", "signal" and "status".
json_value outcome_json(const request& rq, const run_outcome& o);
