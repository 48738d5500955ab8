// The commands: each takes the request and an open adapter session and
// fills one result, which only main renders (as text or JSON).  A failure
// is thrown (failure) after the result has been brought up to date, so that
// main can say how far the command got.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_file.h"
#include "eeprom/journal.h"
#include "eeprom/plan.h"
#include "eeprom/request.h"
#include "eeprom/vpd_report.h"

struct command_result {
    command_code command = command_code::dump;
    std::string adapter;  // DDDD:BB:SS.F; empty before the adapter was found

    // An earlier change on this device that never finished.
    std::optional<journal_record> interrupted;

    // Changing commands.
    bool changed = false;  // any EEPROM word changed
    uint32_t words_written = 0;
    std::optional<std::string> backup;  // the backup's path
    std::optional<board_identity> identity_before, identity_after;
    std::optional<plan_summary> plan;  // -plan: what would be done
    std::vector<copy_repair> repairs;  // repair: the copies rewritten
    std::string image_note;            // write: why the image file was left as it is

    // verify
    bool passed = false;
    std::vector<word_mismatch> mismatches;

    // read
    std::string file;
    uint32_t size = 0;
    std::string sha256;

    // dump
    uint32_t start = 0;
    std::vector<uint8_t> bytes;

    // vpd
    std::optional<vpd_report> report;

    int status = 0;
};

// Everything a command needs from files and ranges, checked and read before
// the adapter is touched: the image file of write/verify/restore (read once;
// for write, locked for the run), the range, the -backup and read file
// names.  Throws failure with the command's own message and status.
std::unique_ptr<image_file> prepare_command(const request& rq, const platform& p, observer& obs);

// The checks of read's output file: a name beginning with '-' is refused,
// and so is, under any name, a file the platform itself works on.  Throws
// failure(1).  Several adapters check each adapter's own file with it.
void check_read_file(const std::string& file, const platform& p);

// Runs rq's command on the session; image: what prepare_command() gave.
void run_command(adapter_session& s, const request& rq, image_file* image, command_result& out);
