// The image digest: one image, one digest, whichever board's identity it
// carries; and the lists of approved digests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The value every masked byte takes before the digest is taken.
constexpr uint8_t IMAGE_DIGEST_MASK = 0x00;

// Where an image's VPD copies lie: a whole-EEPROM image (32768 bytes) has
// 14 copies from 0x400, a VPD-only one (31744 bytes) from 0; any other
// image (an init image) has none.
int image_first_copy(size_t image_size);

// The SHA-256 of the image with, in every one of its VPD copies, what the
// identity transfer rewrites set to IMAGE_DIGEST_MASK (mask_identity(): the
// part number, serial number and MAC address fields at their fixed offsets
// and the RV checksum byte), so that the transfer never changes it and any
// other byte does; an image without VPD copies: its plain SHA-256.
std::string image_digest(const std::vector<uint8_t>& image);

// A list of approved digests in the sha256sum layout: "DIGEST  NAME" a
// line, '#' comments and blank lines passed over.
struct approved_list {
    std::vector<std::string> digests;  // lowercase
    bool lists(const std::string& digest) const;
};
// Reads the list at path.  Throws failure(usage) naming the file when it
// cannot be read, or the line and what is wrong with it.
approved_list read_approved_list(const std::string& path);

// The image digest of what a write carries onto a board: image_digest()
// with, besides the identity, the words that writes pass over (the skip
// window and the status word) set to IMAGE_DIGEST_MASK; the same for an
// image file (whole or VPD-only) and for the EEPROM read back after it was
// written.  Any other image: image_digest().
std::string held_image_digest(const std::vector<uint8_t>& image);
