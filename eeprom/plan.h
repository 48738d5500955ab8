// A change planned in memory from one read of the whole EEPROM: the bytes
// the EEPROM is to hold, the words to write, the identity and the VPD
// copies before and after, or why the command must be refused.  Building a
// plan touches nothing; eeprom/transaction.cpp applies one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/platform.h"
#include "common/error.h"
#include "eeprom/eeprom.h"
#include "eeprom/request.h"

// One stretch of the change, shown as it is written: a write's whole range,
// or one erased region ("Init region", "VPD region 3").
struct plan_segment {
    std::string erase_label;  // empty: not an erase
    uint32_t start = 0;
    uint32_t length = 0;
    std::vector<uint32_t> words;  // addresses to write, ascending
};

// A copy that repair rewrites from another.
struct copy_repair {
    int index;
    uint32_t address;
    std::string state;  // "faulty", "blank", or "good, but another identity"
    int from_index;
    uint32_t from_address;
};

// A nominal EEPROM write cycle, for the projected time.
constexpr double PLAN_WRITE_CYCLE_US = 5000;

// What -plan shows and JSON carries of a plan.
struct plan_summary {
    uint32_t words_to_write = 0;
    uint32_t words_in_range = 0;  // the words the command covers
    struct region {
        std::string name;
        uint32_t first, last;
        uint32_t words;
    };
    std::vector<region> regions;  // those with words to write, in address order
    struct copy_change {
        int index;
        uint32_t address;
        std::string before, after;  // "good", "faulty", "blank"
    };
    std::vector<copy_change> copies_changing;
    std::vector<copy_repair> repairs;
    double projected_seconds = 0;  // hardware time the change would take
};

struct change_plan {
    command_code command = command_code::write;
    std::vector<uint8_t> before;  // the whole EEPROM as read
    std::vector<uint8_t> after;   // the whole EEPROM once applied
    std::vector<plan_segment> segments;
    bool count_words = false;    // progress and run-time check count the words written
    bool show_progress = true;   // erases print none
    uint32_t wrote_at = 0;       // "Wrote those bytes ... starting at"
    std::optional<board_identity> identity_before, identity_after;
    bool show_identity = false;  // write tells the identity it uses
    std::optional<failure> refusal;  // why the command must not run
    // write -f/-fvpd: the image with the board's identity, which the image
    // file gets before the flash (when it may be changed).
    std::vector<uint8_t> image_with_identity;
    uint32_t image_bytes = 0;  // read from the image file; 0: no image
    std::vector<copy_repair> repairs;
    bool clears_interruption = false;  // finished, it clears a standing journal (eeprom/change_rules.h)
    plan_summary summary;

};

// Lays bytes over [first, first + length) of eeprom (32768 bytes), except
// the skip window and the status word, which keep their bytes.
void overlay(std::vector<uint8_t>& eeprom, uint32_t first, const uint8_t* bytes, uint32_t length);
// The words of [first, first + length) that a write covers: never the skip
// window, never the status word; with changed_only only those whose bytes
// inside the range differ between before and after.
std::vector<uint32_t> select_words(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                   uint32_t first, uint32_t length, bool changed_only);

// Plans rq's change of the EEPROM `before` (32768 bytes as read) on fn.
// image: the image file's bytes for write and restore.  us_per_read: the
// platform's measured time of one word read, for the projected time.
change_plan plan_change(const request& rq, const pci_function& fn, const std::string& backup_dir,
                        std::vector<uint8_t> before, const std::vector<uint8_t>* image, double us_per_read);

// The identity fields, escaped for a terminal.
std::string identity_text(const board_identity& id);
