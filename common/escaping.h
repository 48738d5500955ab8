// Text from outside the program made safe to show: on a terminal, and as a
// word of a POSIX shell command.
#pragma once

#include <string>

// Text from outside the program (a journal, a path) made safe for a
// terminal: every byte that is not printable ASCII as \xNN, a backslash as
// "\\".
std::string terminal_text(const std::string& s);
// path quoted for a POSIX shell: in single quotes, each quote inside as
// '\'', and made safe for a terminal (terminal_text).
std::string shell_quoted(const std::string& path);
