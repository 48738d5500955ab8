// Exit statuses and the one typed error of the program.
//
// No function below main() prints a failure or ends the process: it throws
// failure with a kind and the text that says what went wrong.  main()
// renders the text (as it stands, or inside a JSON document) and maps the
// kind to the exit status through exit_status_of(), the one table; a
// command's verdict on its own result (verify FAILED, vpd's copies, no
// adapter listed) is a kind too.
// Destructors on the way up release what the run holds (the microprocessor
// reset, the register window, the adapter lock, the image file's lock).
#pragma once

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

class failure : public std::runtime_error {
public:
    // message: the text as the user sees it, line ends included (may be empty).
    failure(error_kind kind, std::string message) : std::runtime_error(std::move(message)), kind_(kind) {}
    error_kind kind() const noexcept { return kind_; }
    int status() const noexcept { return exit_status_of(kind_); }
    // Set once the text has been shown in the command's text output (a
    // failure during a held transfer is shown before the chip reset line).
    bool shown() const noexcept { return shown_; }
    failure as_shown() const {
        failure f(*this);
        f.shown_ = true;
        return f;
    }
    // Facts beside the text, for a JSON document: key and value ("image_digest").
    using fact = std::pair<std::string, std::string>;
    failure with_fact(std::string key, std::string value) const {
        failure f(*this);
        f.facts_.emplace_back(std::move(key), std::move(value));
        return f;
    }
    const std::vector<fact>& facts() const noexcept { return facts_; }

private:
    error_kind kind_;
    bool shown_ = false;
    std::vector<fact> facts_;
};
