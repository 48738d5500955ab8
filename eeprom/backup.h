// Backups of the whole EEPROM, saved before any command changes it, so that
// no run can lose a board's identity for good: `restore` puts one back.
#pragma once

#include <cstdint>
#include <string>

#include "adapter/platform.h"
#include "eeprom/eeprom.h"

// "<domain>-<bus>-<slot>.<function>_<serial number or no-serial>_<UTC time>.bin",
// e.g. 0000-04-00.0_PT0123_20261208T011500Z.bin: no ':' and no blank, so
// that it can be given straight to restore.  eeprom: the 32768 bytes.
std::string backup_file_name(const pci_function& fn, const uint8_t* eeprom, int64_t utc_seconds);

// Saves eeprom (32768 bytes, as read before the change) as a backup of fn:
// as opts.backup_file when given, else in the platform's backup folder
// (created with mode 0700 when missing) unless the newest backup of fn there
// holds the same bytes.  The file is written to a temporary file, flushed
// to disk, made read-only (0400) and linked into place; it never replaces
// an existing file.  One line on standard error names the file.  Throws
// exit_error(1) naming the path and the reason when it cannot be saved.
void save_backup(const uint8_t* eeprom, const pci_function& fn, const change_options& opts);

// The -backup FILE check made before the adapter is touched: FILE must not
// exist.  Throws exit_error(1).
void check_backup_file(const change_options& opts);
