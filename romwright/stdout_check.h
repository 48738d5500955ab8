// The last check of a program's run: did its standard output arrive?
#pragma once

// Flushes standard output.  When anything written to it did not reach its
// destination (a full disk, a pipe whose reader went away while SIGPIPE was
// ignored), says so on standard error as "PROGRAM: standard output could not
// be written[: reason]", clears the stream's error for a next run in this
// process and returns true.  first_errno: the errno of an earlier write that
// failed, told in preference to the flush's.
bool standard_output_lost(const char* program, int first_errno = 0);
