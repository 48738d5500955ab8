// A change applied as one transaction (run_change), and the reads the
// commands make on an open adapter session.  Each gives its own result,
// which only the front end renders.  Where a result is filled through a
// reference, a failure is thrown (failure) after the result has been
// brought up to date, so that the front end can say how far the command got.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "common/replace_file.h"
#include "eeprom/bulk.h"
#include "eeprom/change_rules.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_file.h"
#include "eeprom/journal.h"
#include "eeprom/plan.h"
#include "eeprom/vpd_report.h"

// dump: the bytes of [first, first + size).
struct dump_result {
    uint32_t start = 0;
    std::vector<uint8_t> bytes;
};
dump_result read_range(adapter_session& s, uint32_t first, uint32_t size);

// read: the range saved into a file, and the SHA-256 of the bytes saved.
struct read_result {
    std::string file;
    uint32_t start = 0;
    uint32_t size = 0;
    std::string sha256;
};
// The file is replaced whole through replace_file(), never one of kept.
// Throws failure: its folder cannot take a file (file), or it cannot be
// written (failed); there is no result then, and the file is as it was.
read_result save_range(adapter_session& s, uint32_t first, uint32_t size, const std::string& file,
                       const std::vector<kept_path>& kept);

// verify: the words that differ.
struct verify_result {
    std::vector<word_mismatch> mismatches;
    bool passed = false;
};
// Tells the board's identity, then compares the image with the region
// inside one microprocessor hold; label ("" or "(init)") and shown_start
// go into the verdict line.
void verify_image(adapter_session& s, const image_file& image, const image_region& region, const char* label,
                  uint32_t shown_start, verify_result& out);

// vpd: the 14 VPD copies read and decoded.  whole: when given, the whole
// EEPROM is read into it (8192 word reads instead of 3584) and the copies
// taken from there.
vpd_report read_vpd_copies(adapter_session& s, std::vector<uint8_t>* whole = nullptr);

// What a change did, or would do (-plan), or why it was refused: what
// every change has; a command's own result adds its own.
struct change_result {
    bool changed = false;  // any EEPROM word changed
    uint32_t words_written = 0;
    std::optional<std::string> backup;  // the backup's path
    std::optional<board_identity> identity_before, identity_after;
    std::optional<plan_summary> plan;  // -plan: what would be done
    std::optional<change_refusal> refusal;  // nothing was touched
    bool forced = false;  // refusals of the plan were let through on the user's word (plan's forced)
    // After a failure of the transaction: the whole EEPROM as the words
    // written (each read back) leave it; empty when a word's write or read-
    // back went unanswered (what it holds is not known).
    std::vector<uint8_t> known_after;
    // The id of the journal this run wrote (kept when the change did not
    // finish); empty when it wrote none.
    std::string journal_id;
};


// The whole EEPROM (32768 bytes) read once for a change, with what one
// word's read took and where the plan's refusals send the user.
struct change_read {
    std::vector<uint8_t> eeprom;
    double us_per_read = 0;
    plan_place at;
};
change_read read_for_change(adapter_session& s);

// Applies the change rules to p, the plan made from read_for_change(), and
// applies the plan as one transaction: backup, journal, image file, the
// words with read-back, chip reset, commit.  With -plan only the plan goes
// into out; a refused plan goes into out with nothing touched.
void apply_change(adapter_session& s, const change_request& rq, change_plan p, double us_per_read,
                  change_result& out);
