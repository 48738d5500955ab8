// One run's request: everything the words asked for, as one value made by
// one walk over them (romwright/words.cpp), read by the command rows.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"

struct command_row;
struct option_word;
// The row of dump, the command of a run without a command word.
const command_row* default_command();

struct request {
    const command_row* command = default_command();
    bool command_given = false;  // a command word was among the words

    // -addr / -len: the range of the commands whose row uses it; the other
    // commands pass it over.
    uint32_t first = 0;
    uint32_t size = SEEPROM_SIZE;

    // write/verify: the image's type and file; read/restore: the file.
    image_type type = image_type::vpd;
    std::string file;
    bool file_given = false;

    change_options change;
    std::vector<adapter_address> addresses;  // -b, in the order given
    bool all_adapters = false;               // -b all: every adapter of the host
    // Several adapters (-b more than once, or -b all): each runs in a
    // session of its own at the same time; write never changes the image
    // file, read saves one file per adapter.
    bool several() const { return all_adapters || addresses.size() > 1; }
    bool json = false;                       // -json: one JSON document on standard output
    bool force_image = false;                // -force-image: write an image of another ID string
    bool every_copy = false;                 // vpd -v: every VPD copy shown, identical ones too
    // vpd -metrics-status: with -prometheus, the exit status says only
    // whether the metrics were written; findings are in them.
    bool metrics_status = false;
    std::string approved_file;               // -approved FILE: the list of approved image digests
    std::vector<std::string> words;          // the command line's words after the program's name
    std::string prometheus_file;             // vpd -prometheus FILE: the metrics file; empty: none
    vpd_source_choice via = vpd_source_choice::automatic;  // -via kernel|registers: where vpd reads
    // -prometheus -: the metrics are standard output's only content, and
    // the report's text goes to standard error.
    bool metrics_to_stdout() const { return prometheus_file == "-"; }

    // bdinfo FILE, in word order: each is read and checked once the walk
    // is over; a file that fails ends the words where it was named (the
    // warnings met after it are dropped).  board_info: the last one's
    // values; the board's own identity is what write carries, so they are
    // only checked.
    struct board_info_word {
        std::string file;
        size_t warnings_before;  // warnings met before the word
    };
    std::vector<board_info_word> board_info_files;
    std::optional<board_identity> board_info;

    // --help, --version: the text that answers the run (status 0); empty:
    // none.
    std::string answer;

    // Warnings met on the way (out-of-bound -addr/-len), in word order.
    std::vector<std::string> warnings;
    std::vector<std::string> passed_over;  // words that are no word of the table
    std::vector<std::string> unknown_options;  // those of them that begin with '-': no option
    // The options given, in word order, as typed ("--plan" or "-plan").
    struct option_given {
        const option_word* option;
        std::string word;
    };
    std::vector<option_given> options_given;
};
