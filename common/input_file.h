// The one way files named to the program are read: opened without blocking
// (a FIFO with no writer cannot hold the run), without following a link
// where none is expected, required to be a plain file (or, where allowed,
// a pipe), and read once, never more than its bound.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct input_rules {
    size_t max_bytes;           // at most max_bytes + 1 bytes are read: a longer file shows as longer
    bool pipes = false;         // a FIFO or pipe is read once, to its end or the bound
    bool follow_links = true;   // false: a symbolic link is refused
};

struct input_file {
    std::vector<uint8_t> bytes;
    // Empty when read; otherwise why not: "is a character device, not a
    // plain file", or the system's reason (with errno set).
    std::string refusal;
    int error = 0;  // errno of a failed open or read; 0 for a refused kind
    bool missing() const { return error == ENOENT; }
    bool ok() const { return refusal.empty(); }
};

// Reads path under rules; never throws for the file's sake.
input_file read_input_file(const std::string& path, const input_rules& rules);
