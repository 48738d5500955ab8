// The SHA-256 of a byte string, as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The SHA-256 of bytes, 64 lowercase hexadecimal digits.
std::string sha256_hex(const std::vector<uint8_t>& bytes);
