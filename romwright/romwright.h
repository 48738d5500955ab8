// The command front end: argument walk, usage text, board-info file and the
// run of one command.
#pragma once

#include <cstdint>
#include <string>

#include "adapter/adapter.h"

// The whole run: walks the argument words, checks them, finds the adapter,
// runs one command.  Returns the exit status; never ends the process.
// Standard output is flushed at the end; when it could not be written, a
// note goes to standard error and a success becomes status 1.
// g_platform must be set.
int romwright_main(int argc, char** argv);

// PCI vendor ID of the adapters served, printed when none is found.
constexpr unsigned ADAPTER_VENDOR_ID = 0x1e2c;

extern const char* g_boardInfoFile;

const std::string& usage_text();
// What --help prints: every command word and option, one line each.
const std::string& help_text();
void print_usage();
// Throws exit_error(255) carrying the usage text followed by message.
[[noreturn]] void usage_error(const std::string& message);

// Returns when a word follows position pos; otherwise throws exit_error(255)
// with the usage text and "'<word>' requires an argument".
void ck_more_args(const char* word, int argc, int pos);

// Reads "0x<hex>", "0X<hex>" or a decimal number.  Out-of-bound values draw
// a warning and are returned all the same; a value that does not fit 32 bits
// is returned as 0xFFFFFFFF (above every maximum).  Text that is no number
// throws exit_error(255).
uint32_t prs_num(const char* word, const char* text, uint32_t min, uint32_t max);

// Reads an image argument "-<type><separators><file>": the type word runs
// from after the leading '-' to the first '-', ':' or blank; the file name
// is everything after the run of those characters that follows it, kept
// verbatim (*name points into arg).  Sets *type and, when the argument names
// a file, *name.  An unknown type word throws exit_error(255) with the usage
// text.
void get_binfile_type_and_name(char* arg, uint32_t* type, char** name);

// "<bus>:<slot>.<function>" or "<domain>:<bus>:<slot>.<function>", each a
// hexadecimal number; text after the function is ignored.
bool parse_adapter_address(const char* text, adapter_address* out);

// Reads and checks a board-info file; throws exit_error (255: cannot open
// or read it, a directory among others; 1: an invalid line) after printing
// the reason.
void op_read_boardinfo_from_file(const char* filename);
// Checks, classifies and stores one line (cut at its newline); 1 when valid,
// 0 after printing why not.
int validate_details(char* line);
