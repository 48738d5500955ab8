// A change planned in memory from one read of the whole EEPROM: the bytes
// the EEPROM is to hold, the words to write, the identity and the VPD
// copies before and after, or why the command must be refused.  Building a
// plan touches nothing; run_change() (eeprom/transaction.h) applies one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "eeprom/eeprom.h"
#include "eeprom/journal.h"

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
    // An outline (outline_change()): made from the command's range alone,
    // without reading the EEPROM; copies_changing and repairs are not
    // known.  at_most: only the differing words would be written, so the
    // words, regions and time are the most the change could take.
    bool whole_eeprom_read = true;
    bool at_most = false;
};

// One VPD copy as a refusal lists it.
struct vpd_copy_state {
    int index;
    uint32_t address;
    const char* state;  // "good", "faulty", "blank"
    board_identity identity;
};

// Why a change must not be made, as data: the front end says it.  Nothing
// was touched when a plan carries one.
struct change_refusal {
    enum class reason {
        identity_broken,        // write: the copy at 0x0800 is blank or broken (broken: how)
        identity_untrusted,     // write: that copy is not good, no strict majority of the
                                // good copies agrees, or it holds another identity than they do
        image_takes_no_identity,  // write: a copy of the image cannot take it (cannot_take: which, why)
        nothing_to_repair_from,   // repair: no strict majority of the good copies agrees
        journal_stands,           // write -f/-fvpd, repair: an interrupted change's journal stands (journal)
        identity_would_change,    // write: copies would hold another identity afterwards (board, differences)
        interrupted_backup,       // restore: a backup saved while a journal stood (journal)
        backup_changed,           // restore: the journal's backup no longer holds its bytes (journal, sha256s)
        another_boards_identity,  // restore: the file holds another board's identity (board, other)
        image_of_another_board,   // write: most of the image's good copies hold another ID string
                                  // than most of the board's good copies, or it has no good copy
                                  // (board_id, image_id; no_good_copy for the latter)
        image_not_whole,          // write: with the board's identity put in, a copy of the image is
                                  // not good, or differs from most good copies beyond the identity
                                  // (copies: the image's, faulty or blank ones; differing)
    };
    enum class distrust {
        copy_not_good,   // the copy at 0x0800 is faulty or blank
        no_majority,     // no identity is held by more than half of the good copies
        copy_disagrees,  // the copy at 0x0800 holds another identity than most good copies
    };
    reason why;
    distrust untrusted = distrust::copy_not_good;  // identity_untrusted: which way
    std::string address;     // the adapter, for the commands the text gives
    std::string backup_dir;  // where the backups are kept; empty: none
    std::string file;        // write's image file
    std::optional<identity_faults> broken;             // identity_broken
    std::optional<identity_take_fault> cannot_take;     // image_takes_no_identity
    bool no_good_copy = false;                         // image_of_another_board: the image has none
    int good_copies = 0;
    bool majority = false;  // a strict majority of the good copies holds one identity
    std::vector<vpd_copy_state> copies;  // every copy, for the reasons about copies
    std::vector<int> differing;          // image_not_whole: good copies unlike most good ones
    std::string board_id, image_id;      // ID strings, escaped (image_id empty: no good copy)

    // The rules of a change (apply_change_rules()).
    std::optional<journal_record> journal;  // the interrupted change's journal
    std::string journal_path;
    bool backup_exists = false;             // the backup that journal names is still there
    std::string sha256_then, sha256_now;    // backup_changed: what the journal recorded, what the file holds
    board_identity board, other;            // this board's identity; the file's
    // identity_would_change: what a copy would hold where it differs from
    // the board; value nullopt: the copy would lack that keyword.
    struct field_difference {
        int field;  // 0 part number (PN), 1 serial number (SN), 2 MAC address (NA)
        std::optional<std::string> value;
    };
    struct copy_difference {
        int index;
        uint32_t address;
        std::vector<field_difference> fields;
    };
    std::vector<copy_difference> differences;
};

struct change_plan {
    std::vector<uint8_t> before;  // the whole EEPROM as read
    std::vector<uint8_t> after;   // the whole EEPROM once applied
    std::vector<plan_segment> segments;
    bool count_words = false;    // progress and run-time check count the words written
    bool show_progress = true;   // erases print none
    bool erase_done_after_reset = false;  // an erase's "Wrote" line follows the chip reset (one region)
    uint32_t wrote_at = 0;       // "Wrote those bytes ... starting at"
    std::optional<board_identity> identity_before, identity_after;
    bool show_identity = false;  // write tells the identity it uses
    std::optional<change_refusal> refusal;  // why the command must not run: nothing is applied
    // write -f/-fvpd: the image as flashed, with the board's identity; and
    // whether the image file gets those bytes before the flash.
    std::vector<uint8_t> image_with_identity;
    bool image_file_takes_identity = false;
    uint32_t image_bytes = 0;  // read from the image file; 0: no image
    std::vector<copy_repair> repairs;
    bool clears_interruption = false;  // finished, it clears a standing journal (apply_change_rules())
    bool applies_nothing = false;  // repair of copies that are all good and agree: no hold, backup or word
    // write -f/-fvpd with -force-image: the refusals of the image
    // (image_of_another_board, image_not_whole) it lets through.
    std::vector<change_refusal> forced;
    plan_summary summary;
};

// Where a plan's refusals send the user: the adapter and its backups.
struct plan_place {
    std::string address;
    std::string backup_dir;
};

// The decision, made once, whether write's image file gets the board's
// identity: a whole or VPD-only image, in a run that changes the EEPROM of
// one adapter (with several, each board's identity goes into its own bytes
// only; -plan changes nothing).
bool image_file_takes_identity(image_type type, bool plan_only, bool several);

// The plans of the changing commands, each from the whole EEPROM `before`
// (32768 bytes as read).
struct write_spec {
    image_type type = image_type::full;
    image_region region{};
    const std::vector<uint8_t>* image = nullptr;  // the image file's bytes
    std::string file;
    uint32_t shown_start = 0;  // -addr, as "Wrote those bytes ... starting at" shows it
    bool changed_only = false;
    bool plan_only = false;  // -plan
    bool several = false;    // one of several adapters
    bool force_image = false;  // -force-image: an image of another ID string, or not whole, is written
};
change_plan plan_write(std::vector<uint8_t> before, const write_spec& w, const plan_place& at);
change_plan plan_restore(std::vector<uint8_t> before, const std::vector<uint8_t>& image, bool changed_only);
change_plan plan_clear_init(std::vector<uint8_t> before, uint32_t first);
change_plan plan_clear_vpd(std::vector<uint8_t> before);
change_plan plan_repair(std::vector<uint8_t> before, const plan_place& at);

// The stretches of the EEPROM a change may write, known without reading
// it: each segment without its words.  changed_only: only the words that
// differ from what the EEPROM holds are written.  The planners write
// within these; -plan shows them when the EEPROM cannot be read whole.
struct change_extent {
    std::vector<plan_segment> segments;
    bool changed_only = false;
};
change_extent write_extent(const write_spec& w);
change_extent restore_extent(bool changed_only);
change_extent clear_init_extent(uint32_t first);
change_extent clear_vpd_extent();
change_extent repair_extent();
// The summary of a change from its extent alone: every word of it (but the
// skip window and the status word), the projected time at the nominal
// write cycle; whole_eeprom_read false, at_most when changed_only.
plan_summary outline_change(const change_extent& e);

// Fills plan.summary; us_per_read: the platform's measured time of one
// word read, for the projected time.
void summarize_plan(change_plan& plan, double us_per_read);

// Lays bytes over [first, first + length) of eeprom (32768 bytes), except
// the skip window and the status word, which keep their bytes.
void overlay(std::vector<uint8_t>& eeprom, uint32_t first, const uint8_t* bytes, uint32_t length);
// The words of [first, first + length) that a write covers: never the skip
// window, never the status word; with changed_only only those whose bytes
// inside the range differ between before and after.
std::vector<uint32_t> select_words(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                   uint32_t first, uint32_t length, bool changed_only);
