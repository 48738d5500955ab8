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

#include "adapter/site.h"
#include "common/observer.h"

struct journal_record {
    std::string adapter;       // DDDD:BB:SS.F of the run
    std::string command;       // "write -f:img.bin", "restore b.bin", "repair", ...
    std::string image;         // the image file; empty for none
    std::string image_sha256;  // of the bytes flashed from it; empty for none
    std::string backup;        // the backup's absolute path; empty for none
    int64_t time = 0;          // UTC seconds when the change began
};

// The journal standing for fn's device, if any.  A record that cannot be
// read still counts (its fields then say unknown).
std::optional<journal_record> read_journal(const site& where, const pci_function& fn);

// "2026-12-08T05:00:00Z"
std::string utc_time_text(int64_t seconds);

// The note a run gives while a journal stands: what was interrupted, when,
// and the exact command that puts the EEPROM back.
std::string interrupted_note(const journal_record& r, const std::string& address);

// The journal of one run's change.  begin() writes the record; the
// destructor removes it when the change finished or no word changed, and
// keeps it on every other way out.  A run that finds an earlier journal standing keeps that one
// (the EEPROM is still as the earlier run left it) unless it clears it: a
// complete restore, full write or repair that finished.
class journal_guard {
public:
    journal_guard(const site& where, const pci_function& fn, observer& obs, std::optional<journal_record> standing)
        : where_(where), fn_(fn), obs_(obs), standing_(std::move(standing)) {}
    ~journal_guard();
    journal_guard(const journal_guard&) = delete;
    journal_guard& operator=(const journal_guard&) = delete;

    // Throws failure when the record cannot be written (nothing changed yet).
    void begin(const journal_record& r);
    // EEPROM words changed: unless the change finishes, the record stays.
    void words_changed() { changed_ = true; }
    // The change finished; clears_standing: it put the whole EEPROM right.
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
