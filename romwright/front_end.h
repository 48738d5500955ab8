// The command front end: the option words and the walk of the words into
// one request, the usage and help texts, the board-info file, and the run
// of one command, rendered as text or JSON.
#pragma once

#include <cstdint>
#include <string>

#include "adapter/platform.h"
#include "adapter/site.h"
#include "romwright/request.h"

// The whole run on platform p at site where: walks the argument words into one request,
// checks it, opens the adapter, runs one command and renders its result.
// Returns the exit status; never ends the process.  Standard output is
// flushed at the end; when it could not be written, a note goes to
// standard error and a success becomes status 1.
int romwright_main(platform& p, const site& where, int argc, char** argv);

// ---- the words --------------------------------------------------------------

// One option word (the commands' words are their rows, romwright/command_rows.h):
// the word, the name of the argument it takes (nullptr: none), its help
// line, and what it sets.  A missing argument is a usage error: "'<word>'
// requires an argument" after the usage text, or the bare usage text where
// quiet_missing is set.
// An option longer than one letter also answers to its double-dash form
// ("--plan" for "-plan").  takes: the option's bit in the rows' options
// (command_rows.h); 0 for the words every command takes.
struct option_word {
    const char* word;
    const char* argument;
    const char* help;
    bool quiet_missing;
    void (*apply)(request& rq, const char* argument);  // argument: nullptr when none
    unsigned takes = 0;
};

// The option word text names, in either form; nullptr when none.
const option_word* find_option(const char* text);

// The options, in the order --help lists them, ended by a row whose word
// is nullptr.
extern const option_word k_option_words[];

// Walks argv[1..argc) once, left to right, into rq; a later command word
// replaces an earlier one, a later option value an earlier value; --help
// and --version end the walk with rq.answer.  Then reads and checks the
// board-info files named (a failing one speaks for the words from it on),
// and refuses words passed over when no command word was given.  Throws
// failure: usage errors (255); a bad board-info file.  rq keeps what the
// walk met up to a failure (its warnings, -json).
void parse_request(int argc, char** argv, request& rq);

// ---- texts ------------------------------------------------------------------

// The usage text (-h, usage errors), fixed.
const std::string& usage_text();
// What --help prints: every command and option, one line each, from the
// rows.
const std::string& help_text();
// Throws failure(usage) carrying the usage text followed by message.
[[noreturn]] void usage_error(const std::string& message);

// ---- arguments --------------------------------------------------------------

// Reads "0x<hex>", "0X<hex>" or a decimal number, the argument of word.
// Out-of-bound values set *warning ("You entered ...") and are returned all
// the same; a value that does not fit 32 bits is returned as 0xFFFFFFFF
// (above every maximum).  Text that is no number throws failure(usage).
uint32_t number_argument(const char* word, const char* text, uint32_t min, uint32_t max, std::string* warning);

// Reads an image argument "-<type><separators><file>": the type word runs
// from after the leading '-' to the first '-', ':' or blank; the file name
// is everything after the run of those characters that follows it, kept
// verbatim.  Sets *type and, when the argument names a file, *name (and
// returns true).  An unknown type word throws failure(usage) with the usage
// text.
bool get_binfile_type_and_name(const char* arg, image_type* type, std::string* name);

// ---- the board-info file ----------------------------------------------------

// Reads and checks a board-info file into an identity; throws failure
// (255: cannot open or read it, a directory among others; 1: an invalid
// line, with its reason).
board_identity read_board_info(const char* filename);
// Checks, classifies and stores one line (cut at its newline) into id;
// throws failure(1) with the reason of an invalid line.
void store_board_detail(const char* line, board_identity& id);
