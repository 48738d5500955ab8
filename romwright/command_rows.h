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
#include <any>
#include <utility>
#include <vector>

#include "common/replace_file.h"
#include "eeprom/transaction.h"
#include "romwright/render.h"
#include "romwright/request.h"

// A command's result: one type per command (its row's functions know
// which), held as a value; empty until the run has one.
class command_output {
public:
    template <typename Result, typename... Args>
    Result& emplace(Args&&... args) {
        return value_.emplace<Result>(std::forward<Args>(args)...);
    }
    template <typename Result>
    command_output& operator=(Result&& r) {
        value_ = std::forward<Result>(r);
        return *this;
    }
    // The result if it is a Result, else nullptr.
    template <typename Result>
    const Result* get() const {
        return std::any_cast<Result>(&value_);
    }
    template <typename Result>
    Result* get() {
        return std::any_cast<Result>(&value_);
    }
    bool empty() const { return !value_.has_value(); }

private:
    std::any value_;
};

// Where a read of the VPD came from: the registers, or the kernel's VPD
// file, and then why and which file.
struct vpd_read_path {
    vpd_source via = vpd_source::registers;
    enum class cause { asked, driver, lockdown, refused } why = cause::asked;  // kernel: why it was taken
    std::string detail;  // driver: its name; lockdown: the mode; refused: the kernel's errno text
    std::string file;    // the kernel's VPD file
    size_t copies_read = 0;
    size_t file_bytes = 0;  // what the kernel's VPD file showed
};

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
    std::optional<vpd_read_path> vpd_path;  // a read of the VPD: where it came from
    std::optional<outline_view> outline;    // a change's -plan made without the EEPROM, shown before the failure
    // held_image_digest() of the EEPROM, when the run read it all; empty: not read.
    std::string image_digest;
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
    TAKES_VIA = 1u << 11,            // -via
    TAKES_EVERY_COPY = 1u << 16,     // -v
    TAKES_METRICS_STATUS = 1u << 17, // -metrics-status
};

// A command, everything about it: its word and argument, help lines, the
// options it takes, its range, its checks, its run, verdict and rendering,
// what its result reports.  Rows are built with the named setters below:
//     constexpr command_row dump_row = command_row("dump").summary(...)...;
struct command_row {
    using span_fn = std::optional<eeprom_span> (*)(const request& rq);
    using prepare_fn = std::unique_ptr<image_file> (*)(const request& rq, const site& where, observer& obs);
    using run_fn = void (*)(command_context& ctx, run_outcome& o);
    using verdict_fn = void (*)(run_outcome& o);
    using text_fn = std::string (*)(const request& rq, const run_outcome& o);
    using json_fn = void (*)(json_value& doc, const request& rq, const run_outcome& o);
    using reports_fn = const vpd_report* (*)(const command_output& out);
    using change_fn = const change_result* (*)(const command_output& out);

    const char* word = nullptr;
    word_argument argument = word_argument::none;
    const char* image_usage = nullptr;  // an image argument not beginning with -f: the usage error's message
    help_line help[3] = {};
    unsigned options = 0;               // the options it takes (option_bit)
    range_use range = range_use::none;
    bool needs_adapter_ = true;         // runs on an adapter named with -b (all but list and history)
    bool file_per_adapter_ = false;     // with several adapters, each gets a file of its own
    // The span beyond the range that must end inside the EEPROM; nullptr: none.
    span_fn span = nullptr;
    // The checks of files and names before any adapter is touched; returns
    // the image file read for the run, if any.  nullptr: none.
    prepare_fn prepare = nullptr;
    // Fills o.output; throws failure after bringing it up to date.
    run_fn run = nullptr;
    // Sets o.kind (and o.error for a refusal) from a finished run; nullptr:
    // a finished run is done.
    verdict_fn verdict = nullptr;
    // The text that follows the run (dump's hex dump, read's last line,
    // vpd's report, -plan's plan, repair's summary); nullptr: none.
    text_fn text = nullptr;
    // The command's own keys of its document.
    json_fn json = nullptr;
    // The boards' VPD copies its result holds: compared across adapters,
    // the -prometheus metrics; nullptr: it reports none.
    reports_fn reports = nullptr;
    // A change, applied as one transaction: the transaction's part of its
    // result (the history record, the journal); nullptr: it changes nothing.
    change_fn change = nullptr;

    explicit constexpr command_row(const char* w) : word(w) {}
    constexpr command_row& takes_file() { return argument = word_argument::file, *this; }
    constexpr command_row& takes_image(const char* usage) {
        argument = word_argument::image;
        image_usage = usage;
        return *this;
    }
    // One more help line (up to three).
    constexpr command_row& helps(const char* synopsis, const char* text) {
        int i = 0;
        while (i < 2 && help[i].synopsis)
            ++i;
        help[i] = help_line{synopsis, text};
        return *this;
    }
    constexpr command_row& option_bits(unsigned o) { return options = o, *this; }
    constexpr command_row& uses(range_use r) { return range = r, *this; }
    constexpr command_row& on_host() { return needs_adapter_ = false, *this; }
    constexpr command_row& file_each_adapter() { return file_per_adapter_ = true, *this; }
    constexpr command_row& spans(span_fn f) { return span = f, *this; }
    constexpr command_row& prepares(prepare_fn f) { return prepare = f, *this; }
    constexpr command_row& runs(run_fn f) { return run = f, *this; }
    constexpr command_row& judges(verdict_fn f) { return verdict = f, *this; }
    constexpr command_row& says(text_fn f) { return text = f, *this; }
    constexpr command_row& keys(json_fn f) { return json = f, *this; }
    // Its result, a Result, holds the boards' VPD copies (a vpd_report or
    // one derived from it).
    template <typename Result>
    constexpr command_row& reports_boards() {
        return reports = [](const command_output& out) -> const vpd_report* { return out.get<Result>(); }, *this;
    }
    // It changes the EEPROM; its result, a Result, derives from change_result.
    template <typename Result>
    constexpr command_row& changes() {
        return change = [](const command_output& out) -> const change_result* { return out.get<Result>(); }, *this;
    }

    bool takes(unsigned option) const { return (options & option) == option; }
    bool changes_eeprom() const { return change != nullptr; }
    bool needs_adapter() const { return needs_adapter_; }
    bool file_per_adapter() const { return file_per_adapter_; }
    bool reports_identity() const { return reports != nullptr; }
    bool uses_range() const { return range != range_use::none; }
};

// The rows, in the order --help lists them (romwright/command_rows.cpp
// lists them; each command's row and functions are in romwright/commands/).
const std::vector<const command_row*>& command_rows();
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

// The text of a finished run: its failure's text unless already shown
// (after the row's text when the run has an outline), or the row's text.
std::string outcome_text(const request& rq, const run_outcome& o);
// The run's whole JSON document: "command" and "adapter" (for a command on
// an adapter), the row's keys, "error", "signal" and "status".
json_value outcome_json(const request& rq, const run_outcome& o);
