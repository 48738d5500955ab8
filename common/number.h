// Reading numbers from text.
#pragma once

#include <cstdint>

// Reads a number the way scanf's %x or %d does (leading blanks, an optional
// sign, for hexadecimal an optional 0x prefix), stopping at the first
// character that does not belong to it.  A negative value yields its 32-bit
// two's complement.  Returns false when no digit is there; *fits is false
// when the value needs more than 32 bits (the value is then 0xFFFFFFFF).
bool scan_number(const char*& p, unsigned base, uint32_t* value, bool* fits);
