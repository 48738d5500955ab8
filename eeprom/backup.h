// Backups of the whole EEPROM, saved before any command changes it, so that
// no run can lose a board's identity for good: `restore` puts one back.
#pragma once

#include <cstdint>
#include <string>

#include "adapter/site.h"
#include "common/observer.h"
#include "eeprom/eeprom.h"

// "<domain>-<bus>-<slot>.<function>_<serial number or no-serial>_<UTC time>.bin",
// e.g. 0000-04-00.0_PT0123_20261208T011500Z.bin: no ':' and no blank, so
// that it can be given straight to restore.  eeprom: the 32768 bytes.
std::string backup_file_name(const pci_function& fn, const uint8_t* eeprom, int64_t utc_seconds);

// Where the backup of eeprom (32768 bytes, as read before the change) goes:
// opts.backup_file when given; else the site's backup folder (created
// with mode 0700 when missing), where the newest backup of fn is used again
// when it holds the same bytes (exists), and a new one is named by
// backup_file_name(), with "_interrupted" before ".bin" when the EEPROM may
// be half-written.  Empty path: no backup (-nobackup, or a site that
// keeps none).  Throws failure(1) when the folder cannot be made.
struct backup_plan {
    std::string path;
    bool exists = false;
};
backup_plan plan_backup(const site& where, const uint8_t* eeprom, const pci_function& fn, const change_options& opts,
                        bool interrupted, int64_t utc_seconds);

// Saves the backup: written to a temporary file, flushed to disk, made
// read-only (0400) and linked into place; it never replaces an existing
// file.  One notice names the file (backup_saved, or backup_kept when the
// newest backup holds the same).  Throws failure(1), reason::backup_*, with
// the path when it cannot be saved.
void write_backup(const backup_plan& b, const uint8_t* eeprom, observer& obs);

// The -backup FILE check made before the adapter is touched: FILE must not
// exist.  Throws failure(1).
void check_backup_file(const change_options& opts);

// path made absolute through its folder's real path (as given when that fails).
std::string absolute_path(const std::string& path);
