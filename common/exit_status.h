// Exit statuses and the typed error that carries one up to main().
//
// No function below main() ends the process: where a run must stop at
// once, the code throws exit_error with the status and the text still to
// be printed; main() prints that text, flushes standard output and returns
// the status.  Destructors on the way up release what the run holds (the
// microprocessor reset, the register window, the adapter lock).
#pragma once

#include <stdexcept>
#include <string>

enum : int {
    EXIT_STATUS_OK = 0,
    EXIT_STATUS_FAILED = 1,      // rejected or failed
    EXIT_STATUS_SIGNAL_BASE = 128,  // + N for a deferred signal N
    EXIT_STATUS_USAGE = 255,     // command-line error
};

class exit_error : public std::runtime_error {
public:
    // message: printed to standard output as it stands (may be empty).
    exit_error(int status, std::string message)
        : std::runtime_error(std::move(message)), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// printf-style formatting into a std::string, for exit_error messages.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
