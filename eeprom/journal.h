// The journal of a change in progress: written (temporary file, flushed,
// renamed) before the first EEPROM word changes, removed when the run ends
// with the change complete or nothing changed.  One that stands was left by
// a run that failed after changing words or never ended (killed, power
// cut): the EEPROM may be half-written, and the record names the backup
// that puts it back.  One file per device, in the site's journal folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/site.h"
#include "common/observer.h"

struct journal_record {
    std::string id;            // random, one per journal; empty in a journal of an older version
    std::string adapter;       // DDDD:BB:SS.F of the run
    std::string command;       // "write -f:img.bin", "restore b.bin", "repair", ...
    std::vector<std::string> words;  // the run's command line, -b included; empty when not known
    std::string image;         // the image file; empty for none
    std::string image_sha256;  // of the bytes flashed from it; empty for none
    std::string backup;        // the backup's absolute path; empty for none
    std::string backup_sha256; // of the backup's bytes; empty for none
    std::string before_sha256; // of the whole EEPROM before the change (as the backup holds it)
    std::string after_sha256;  // of the whole EEPROM as the finished change leaves it
    int64_t time = 0;          // UTC seconds when the change began
    std::string recorded;      // the id of the history record that tells of the change; empty: none yet
};

// A new random identifier: 32 lowercase hexadecimal digits (128 bits).
std::string random_id();

// The largest journal read: anything larger is no journal of this program.
constexpr size_t JOURNAL_MAX_BYTES = 64 * 1024;

// The journal file of fn's device; empty when the platform keeps none.
std::string journal_path(const site& where, const pci_function& fn);

// The journal standing for fn's device, if any.  A record that cannot be
// decoded still counts (its fields then say unknown).  The folder and the
// file get the private-file checks (eeprom/private_files.h): throws
// failure(1) at once when either cannot be trusted (a link, a FIFO, a
// device, a file too large, another user's).
std::optional<journal_record> read_journal(const site& where, const pci_function& fn);

// "2026-12-08T05:00:00Z"; empty when the time cannot be shown.
std::string utc_time_text(int64_t seconds);
// The seconds since the epoch of text as utc_time_text writes it; none for
// any other text.
std::optional<int64_t> utc_seconds(const std::string& text);

// "romwright -b ADDRESS restore 'BACKUP'": the command that puts back what
// the EEPROM held before the interrupted change.
std::string restore_command(const std::string& address, const std::string& backup);

// Notes in the journal standing for fn's device that the history record
// record_id tells of its change, when that journal is the one whose id is
// journal_id (empty: one of an older version, which has none); nothing
// when no journal or another one stands.  The journal is rewritten as
// begin() writes it.  Throws failure(1) when it cannot be read or written.
void mark_journal_recorded(const site& where, const pci_function& fn, const std::string& journal_id,
                           const std::string& record_id);

// Removes the journal of fn's device (a note when that fails).
void remove_journal(const site& where, const pci_function& fn, observer& obs);

// The journal of one run's change.  begin() writes the record (after the
// backup it names was saved); the destructor removes it when the change
// finished or no word changed, and keeps it on every other way out.  A run
// that finds an earlier journal standing keeps that one (the EEPROM is
// still as the earlier run left it) unless it clears it: a change that
// finished leaving the whole EEPROM in a known state (a complete restore,
// or the interrupted command completed).
class journal_guard {
public:
    journal_guard(const site& where, const pci_function& fn, observer& obs, std::optional<journal_record> standing)
        : where_(where), fn_(fn), obs_(obs), standing_(std::move(standing)) {}
    ~journal_guard();
    journal_guard(const journal_guard&) = delete;
    journal_guard& operator=(const journal_guard&) = delete;

    // Throws failure when the record cannot be written (nothing changed yet).
    void begin(const journal_record& r);
    // begin() wrote this run's own record (no earlier one stood).
    bool written() const { return written_; }
    // EEPROM words changed: unless the change finishes, the record stays.
    void words_changed() { changed_ = true; }
    // The change finished; clears_standing: it left the whole EEPROM in a
    // known state (what a complete command leaves).
    void finish(bool clears_standing) {
        finished_ = true;
        clears_ = clears_standing;
    }

private:
    const site& where_;
    pci_function fn_;
    observer& obs_;
    std::optional<journal_record> standing_;
    bool written_ = false;
    bool changed_ = false;
    bool finished_ = false;
    bool clears_ = false;
};
