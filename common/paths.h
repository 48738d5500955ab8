// Path names taken apart, without touching the file system.
#pragma once

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
