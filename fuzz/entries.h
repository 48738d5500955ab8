// One input through one of the program's entry points.  Shared by the
// libFuzzer targets and by the test that replays kept findings, so that a
// kept input runs exactly the code that failed.  Each entry returns
// normally for every input; a crash, hang or sanitizer report is a finding.
// What the program prints goes to standard output as usual.
#pragma once

#include <cstddef>
#include <cstdint>

// The argument words (the input split at newlines) through romwright_main
// over the in-process simulated adapter, in a private scratch directory that
// holds a full, a VPD-only and an init-only image and a board-info file.
// Inputs with a '/' in any word are passed over, so that no file outside the
// scratch directory is read or written (result -1).  Otherwise the result
// is romwright_main's exit status.
int fuzz_args_entry(const uint8_t* data, size_t size);

// The bytes as a board-info file (read_board_info), and as one line
// (store_board_detail on a zero-terminated copy).  Result: the file's exit
// status (0 accepted, or the failure's status), times 2, plus 1 when
// store_board_detail accepts the line.
int fuzz_boardinfo_entry(const uint8_t* data, size_t size);

// The bytes as an image: the identity goes into its VPD copies
// (insert_identity, all or nothing, which recomputes each checksum; aborts
// when a refused image changed), then the first 1024 bytes (or fewer) are
// checksummed again (update_checksum).  Result: 0 taken, -2 refused.
int fuzz_identity_entry(const uint8_t* data, size_t size);

// The first 1024 bytes (or fewer) as one VPD copy through the decoder;
// aborts when anything it reports lies outside the copy.  Result: 1 for a
// good copy, else 0.
int fuzz_vpd_entry(const uint8_t* data, size_t size);
