// The command front end: the word table and its walk into one request, the
// usage text, the board-info file, and the run of one command, rendered as
// text or JSON.
#pragma once

#include <cstdint>
#include <string>

#include "adapter/platform.h"
#include "adapter/site.h"
#include "eeprom/request.h"

// The whole run on platform p at site where: walks the argument words into one request,
// checks it, opens the adapter, runs one command and renders its result.
// Returns the exit status; never ends the process.  Standard output is
// flushed at the end; when it could not be written, a note goes to
// standard error and a success becomes status 1.
int romwright_main(platform& p, const site& where, int argc, char** argv);

// ---- the word table -------------------------------------------------------

// One row: the word, whether it takes the next word as its argument, and
// what it sets.  A missing argument is a usage error: "'<word>' requires an
// argument" after the usage text, or the bare usage text where
// quiet_missing is set.
struct command_word {
    const char* word;
    bool takes_argument;
    bool quiet_missing;
    void (*apply)(request& rq, char* argument);  // argument: nullptr when none
};

// The table, ended by a row whose word is nullptr.
extern const command_word k_command_words[];

// Walks argv[1..argc) once, left to right, into rq; a later command word
// replaces an earlier one, a later option value an earlier value.  Throws
// failure: usage errors (255), among them words passed over when no command
// word was given; a bad board-info file; error_kind::answer with the text
// for --help and --version.  rq keeps what the walk met up to a failure
// (its warnings, -json).
void parse_request(int argc, char** argv, request& rq);

// ---- argument helpers -----------------------------------------------------

const std::string& usage_text();
// Throws failure(usage) carrying the usage text followed by message.
// What --help prints: every command word and option, one line each.
const std::string& help_text();
void print_usage();
[[noreturn]] void usage_error(const std::string& message);

// Reads "0x<hex>", "0X<hex>" or a decimal number.  Out-of-bound values set
// *warning ("You entered ...") and are returned all the same; a value that
// does not fit 32 bits is returned as 0xFFFFFFFF (above every maximum).
// Text that is no number throws failure(usage).
uint32_t prs_num(const char* word, const char* text, uint32_t min, uint32_t max, std::string* warning);

// Reads an image argument "-<type><separators><file>": the type word runs
// from after the leading '-' to the first '-', ':' or blank; the file name
// is everything after the run of those characters that follows it, kept
// verbatim.  Sets *type and, when the argument names a file, *name (and
// returns true).  An unknown type word throws failure(usage) with the usage
// text.
bool get_binfile_type_and_name(const char* arg, image_type* type, std::string* name);

// Reads and checks a board-info file into an identity; throws failure
// (255: cannot open or read it, a directory among others; 1: an invalid
// line, with its reason).
board_identity read_board_info(const char* filename);
// Checks, classifies and stores one line (cut at its newline) into id;
// true when valid, else false with why set to the message.
bool validate_details(const char* line, board_identity& id, std::string& why);
