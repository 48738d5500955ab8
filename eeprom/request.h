// One run's request: everything the words asked for, as one value made by
// one walk over them (romwright/words.cpp), read by everything below main.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"

struct request {
    command_code command = command_code::dump;
    bool command_given = false;  // a command word was among the words

    // -addr / -len: the range of dump, read, write -f/-finit, verify and
    // clearinit; the other commands pass it over.
    uint32_t first = 0;
    uint32_t size = SEEPROM_SIZE;
    uint32_t end() const { return first + size; }

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

    // Checked board-info values (bdinfo FILE); the board's own identity is
    // what write carries, so they are only checked.
    std::optional<board_identity> board_info;

    // Warnings met on the way (out-of-bound -addr/-len), in word order.
    std::vector<std::string> warnings;
    std::vector<std::string> passed_over;  // words that are no word of the table
};

// Whether the command works on the -addr/-len range.
bool uses_range(command_code c);
