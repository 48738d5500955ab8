// The parsed command line: one value, filled by one walk over the argument
// words that a table of words drives.
#pragma once

#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"

// Everything the words set, apart from the range, image type, file name and
// board-info file, which keep their process-wide g_ names.
struct command_line {
    command_code command = command_code::dump;
    bool command_given = false;  // a command word was among the words
    adapter_address address = {false, 0, 0, 0, 0};
    bool address_given = false;
    std::vector<std::string> passed_over;  // words that are no word of the table
    change_options change;                 // -backup, -nobackup, -changed
    bool json = false;  // -json: vpd and list print one JSON document
};

// One row of the word table: the word, whether it takes the next word as its
// argument, and what it sets.  A missing argument is a usage error:
// "'<word>' requires an argument" after the usage text, or the bare usage
// text where quiet_missing is set.
struct command_word {
    const char* word;
    bool takes_argument;
    bool quiet_missing;
    void (*apply)(command_line& cl, char* argument);  // argument: nullptr when none
};

// The table, ended by a row whose word is nullptr.
extern const command_word k_command_words[];

// Walks argv[1..argc) once, left to right; a later command word replaces an
// earlier one, a later option value an earlier value.  Resets the g_ state
// first.  Throws exit_error: usage errors (255), among them words passed
// over when no command word was given; a bad board-info file; status 0 with
// the text to print for --help and --version.
command_line parse_command_line(int argc, char** argv);

// True when the words hold -json and a vpd or list command word (a walk that
// applies nothing).  While it holds, standard output carries one JSON
// document: the walk sends its warnings to standard error and main prints
// a failure as a JSON error object.
bool json_requested(int argc, char** argv);
extern bool g_json_output;

// The list command; returns the exit status.  Throws exit_error when the
// scan fails.
int list_adapters(bool json);
