// The one door for every file the program creates or replaces: the target
// must be absent or a plain file (never a link, device, FIFO, socket or
// folder, checked with lstat) and none of the files the program keeps for
// itself; the new content goes to a temporary file created O_EXCL|O_NOFOLLOW
// beside it, is synced, and is renamed over it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// A file, or a folder with every file in it, that no output may replace.
struct kept_path {
    std::string path;
    std::string what;     // "the history file", as a refusal names it
    bool folder = false;  // path is a folder: its files are kept too
    std::string suffix;   // a folder's: only its files whose names end so
};

// What path names among kept, following links (a file by device and inode,
// a folder's files by their folder); empty when none.
std::string kept_path_named(const std::string& path, const std::vector<kept_path>& kept);

// Why a path may not take new content; empty when it may.  what names the
// output in the text ("the metrics file").
std::string output_refusal(const std::string& path, const std::vector<kept_path>& kept);

// Checks path with output_refusal; throws failure(failed),
// reason::output_refused.
void check_output_path(const std::string& path, const char* what, const std::vector<kept_path>& kept);

// Gives path the content bytes[0, size) with the given mode, as above.
// The check is made again just before the rename.  Throws failure(failed):
// check_output_path()'s refusal, or reason::output_write_failed (a caller
// may head its text), with the document's facts "step" and "reason"; path
// is then as it was.
void replace_file(const std::string& path, const char* what, const void* bytes, size_t size, mode_t mode,
                  const std::vector<kept_path>& kept);

// Makes the new file path with bytes and mode through the same temporary
// file, linked in under path: false when anything at all stands at path
// (nothing is replaced, a link not followed).  Throws failure(failed) as
// replace_file(), with the facts "step" and "reason".
bool create_file(const std::string& path, const char* what, const void* bytes, size_t size, mode_t mode);
