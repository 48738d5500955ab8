#include "common/sha256.h"

#include <sha2.h>

std::string sha256_hex(const std::vector<uint8_t>& bytes) {
    char hex[SHA256_DIGEST_STRING_LENGTH];
    return SHA256Data(bytes.data(), bytes.size(), hex);
}
