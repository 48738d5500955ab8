// How main shows a run: the observers that render what a command reports
// while it runs, and the rendering of its result or failure, as the
// commands' text or as one JSON document.
#pragma once

#include <memory>
#include <string>

#include "common/observer.h"
#include "eeprom/commands.h"

// Text on standard output as the commands have always shown it; notes on
// standard error.
std::unique_ptr<observer> make_text_observer();
// Under -json standard output carries only the document: notes, and texts
// shown along the way, go to standard error.
std::unique_ptr<observer> make_json_observer();
// One of several adapters: every line, on standard output and standard
// error, prefixed with label (the adapter's address) and ": ", written whole.
// On a terminal, both kinds of observer keep a progress bar on standard
// error (a row per adapter).
std::unique_ptr<observer> make_prefixed_observer(const std::string& label, bool json);

// Bytes of a board's identity fields: printable ASCII as it is, every other
// byte as "\xNN" (a terminal never gets control bytes from a board).
std::string printable_field(const std::string& bytes);

// The text that follows a command's run (dump's hex dump, read's last line,
// vpd's report, -plan's plan, repair's summary).
std::string render_result_text(const request& rq, const command_result& r);
// The whole JSON document of a command.  error: the failure's text, or
// empty; signal: the name of a signal that ended the run, or empty.
std::string render_result_json(const request& rq, const command_result& r, const std::string& error,
                               const std::string& signal);
