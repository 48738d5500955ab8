// Path names taken apart, without touching the file system, and what a
// file's mode says it is.
#pragma once

#include <sys/stat.h>

#include <string>

// The folder part of path: "." when it has none, "/" for a file in the root.
inline std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The last part of path, after its last '/'.
inline std::string base_name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a file of this mode is, for a message: "a symbolic link", "a FIFO",
// "a folder", "a character device", ...; "a plain file" for one.
inline const char* file_kind_of(mode_t mode) {
    return S_ISREG(mode)    ? "a plain file"
           : S_ISLNK(mode)  ? "a symbolic link"
           : S_ISDIR(mode)  ? "a folder"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISSOCK(mode) ? "a socket"
                            : "something else";
}
