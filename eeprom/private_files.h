// The folders and files romwright keeps for itself (journals, backups) get
// the adapter lock's checks: a folder must be a real folder (no link) owned
// by this user that nobody else may write; a file is opened without
// following links and without blocking, and read only when it is a plain
// file of this user no larger than its bound, so that a FIFO, a device or a
// huge sparse file in its place is refused at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/paths.h"

// Creates dir and its missing parents (mode 0700) when missing, then checks
// it.  what names it in the failure ("journal folder").  Throws failure(1).
void make_private_folder(const std::string& dir, const char* what);

// Checks dir when it exists; false when it does not.  Throws failure(1)
// when it cannot be trusted.
bool check_private_folder(const std::string& dir, const char* what);

// The bytes of the plain file path, at most max_bytes of them; nullopt when
// nothing is there.  Throws failure(1) when it is a link, not a plain file,
// another user's, larger than max_bytes, or cannot be read.
std::optional<std::vector<uint8_t>> read_private_file(const std::string& path, const char* what, size_t max_bytes);
