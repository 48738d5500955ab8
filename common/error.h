// Exit statuses and the one typed error of the program.
//
// No function below main() prints a failure or ends the process: it throws
// failure with a kind, the reason that names what went wrong and its facts
// (paths, addresses, values, errno, names).  The front end words the reason
// (romwright/messages.h), shows the text (as it stands, or inside a JSON
// document) and maps the kind to the exit status through exit_status_of(),
// the one table; a command's verdict on its own result (verify FAILED, vpd's
// copies, no adapter listed) is a kind too.  The front end may also throw a
// failure it has worded itself (reason::worded, the text in what()).
// Destructors on the way up release what the run holds (the microprocessor
// reset, the register window, the adapter lock, the image file's lock).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"

enum : int {
    EXIT_STATUS_OK = 0,
    EXIT_STATUS_FAILED = 1,         // rejected or failed
    EXIT_STATUS_TOOL_USAGE = 2,     // romwright-sim, romwright-vpd: the tool's own usage or file problem
    EXIT_STATUS_SIGNAL_BASE = 128,  // + N for a deferred signal N
    EXIT_STATUS_USAGE = 255,        // command-line error, or a named file that cannot be opened
};

enum class error_kind {
    none,     // not a failure: the command did what it was asked
    answer,   // not a failure: --help and --version end the run with their text
    usage,    // a command-line error, found before the adapter is touched
    file,     // a named file cannot be opened
    refused,  // a check refused the command; nothing was changed
    failed,   // the adapter or a file failed during the command
    tool_usage,  // romwright-sim's or romwright-vpd's own option or file problem: status 2
};

// The documented exit status of each kind.
int exit_status_of(error_kind kind);
// The status of a run that ended as kind while signal (0: none) was
// deferred: a run that did not fail ends with 128 + signal.
int exit_status_of(error_kind kind, int signal);


// What went wrong, for the front end to word.  The facts each reason
// carries are named beside it.
enum class reason {
    worded,  // the front end's own failure: its text is what()
    // ---- adapter lookup (adapter/lookup.cpp)
    device_not_found,      // vendor
    several_functions,     // bus, slot, function; "match" once per function found
    not_served_adapter,    // address, vendor, device, served_vendor
    no_memory_bar0,        // address, bar0
    memory_decoding_off,   // address
    adapter_in_use,        // address
    devmem_open_refused,   // path, errno, address, driver, lockdown
    devmem_map_refused,    // path, errno, address, driver, lockdown, window
    kernel_vpd_unreadable, // path, errno, step ("open" or "read"), driver when one is bound
    lock_folder_create,    // path, errno
    lock_folder_read,      // path, errno
    lock_file_create,      // path, errno
    lock_failed,           // path, errno
    lock_not_folder,       // path: the adapter lock cannot be trusted ...
    lock_folder_owner,     // path, uid
    lock_folder_writable,  // path, mode
    lock_is_link,          // path
    lock_not_plain,        // path
    lock_owner,            // path, uid
    // ---- the word port (adapter/wordport.cpp)
    adapter_gone,          // address (EEPROM); slot_state_path, slot_state when the platform reports one
    vpd_transfer_timeout,  // address (EEPROM), write (0 or 1)
    eeprom_busy_timeout,   // address (EEPROM)
    unexpected,            // what: another exception during held work
    // ---- files written (common/replace_file.cpp)
    output_refused,        // what, path, why
    output_write_failed,   // what, path, step, errno
    // ---- EEPROM operations (eeprom/)
    readback_mismatch,         // address, read, written
    flash_run_too_short,       // a flash whose words could not have taken
    erase_run_too_short,       // the same of an erase
    file_unopenable,           // path: a named file that cannot be opened
    saved_file_write_failed,   // cause (output_write_failed or output_refused) of the file read saves
    image_write_failed,        // path, errno
    image_write_unrestored,    // path, errno: and the earlier bytes could not be put back
    image_not_given_back,      // path, errno: the file keeps the board's identity
    backup_folder_not_folder,  // path
    backup_folder_create,      // path, errno
    backup_write_failed,       // path; cause
    backup_too_many,           // path
    backup_exists_now,         // path: made meanwhile
    backup_name_control,       // path: -backup names a file with a control character
    backup_file_exists,        // path: -backup names a file that exists
    approved_list_unreadable,  // path, why
    approved_list_refused,     // path, why
    approved_list_too_big,     // path
    approved_list_bad_line,    // path, line
    journal_write_failed,      // path, step, errno (no step: refused)
    journal_not_marked,        // path, step, errno
    private_create,            // what, path, errno
    private_read,              // what, path, errno
    private_not_folder,        // what, path: the ... cannot be trusted
    private_folder_owner,      // what, path, uid
    private_folder_writable,   // what, path, mode
    private_is_link,           // what, path
    private_not_plain,         // what, path
    private_owner,             // what, path, uid
    private_too_big,           // what, path, size, max
    private_grew,              // what, path, max
};

// The facts of a failure or of a notice: named texts and numbers, in the
// order given; a name may repeat (a list).
class fact_list {
public:
    fact_list& add(std::string key, std::string text) {
        items_.push_back({std::move(key), std::move(text), 0, false});
        return *this;
    }
    fact_list& add(std::string key, int64_t number) {
        items_.push_back({std::move(key), std::string(), number, true});
        return *this;
    }
    // The first text / number named key; "" / 0 when there is none.
    std::string text(const std::string& key) const {
        for (const item& i : items_)
            if (i.key == key && !i.is_number)
                return i.text;
        return {};
    }
    int64_t number(const std::string& key) const {
        for (const item& i : items_)
            if (i.key == key && i.is_number)
                return i.number;
        return 0;
    }
    bool has(const std::string& key) const {
        for (const item& i : items_)
            if (i.key == key)
                return true;
        return false;
    }
    // Every text named key, in order.
    std::vector<std::string> texts(const std::string& key) const {
        std::vector<std::string> out;
        for (const item& i : items_)
            if (i.key == key && !i.is_number)
                out.push_back(i.text);
        return out;
    }

private:
    struct item {
        std::string key;
        std::string text;
        int64_t number;
        bool is_number;
    };
    std::vector<item> items_;
};

class failure : public std::runtime_error {
public:
    // The front end's own: message is the text as the user sees it, line
    // ends included (may be empty).
    failure(error_kind kind, std::string message) : std::runtime_error(std::move(message)), kind_(kind) {}
    // Below the front end: why, with the facts added by with(); what() is
    // empty, the front end words it (romwright/messages.h).
    failure(error_kind kind, reason why) : std::runtime_error(std::string()), kind_(kind), reason_(why) {}
    error_kind kind() const noexcept { return kind_; }
    reason why() const noexcept { return reason_; }
    // The facts the reason is worded from.
    failure& with(std::string key, std::string text) {
        details_.add(std::move(key), std::move(text));
        return *this;
    }
    failure& with(std::string key, int64_t number) {
        details_.add(std::move(key), number);
        return *this;
    }
    const fact_list& details() const noexcept { return details_; }
    // The failure this one comes of (a backup that could not be written:
    // the write's own failure); nullptr when none.
    failure& caused_by(const failure& inner) {
        cause_ = std::make_shared<const failure>(inner);
        return *this;
    }
    const failure* cause() const noexcept { return cause_.get(); }
    int status() const noexcept { return exit_status_of(kind_); }
    // Set once the text has been shown in the command's text output (a
    // failure during a held transfer is shown before the chip reset line).
    bool shown() const noexcept { return shown_; }
    failure as_shown() const {
        failure f(*this);
        f.shown_ = true;
        return f;
    }
    // Facts beside the text that a JSON document shows: key and value
    // ("image_digest").
    using fact = std::pair<std::string, std::string>;
    failure with_fact(std::string key, std::string value) const {
        failure f(*this);
        f.facts_.emplace_back(std::move(key), std::move(value));
        return f;
    }
    const std::vector<fact>& facts() const noexcept { return facts_; }

private:
    error_kind kind_;
    reason reason_ = reason::worded;
    fact_list details_;
    std::shared_ptr<const failure> cause_;
    bool shown_ = false;
    std::vector<fact> facts_;
};

// The value of key among facts (a failure's or a run's); empty when none.
std::string fact_value(const std::vector<failure::fact>& facts, const char* key);
