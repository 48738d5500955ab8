// VPD identity transfer: the board's part number, serial number and MAC
// address, taken from a VPD copy, are written into every VPD copy of an
// image, whose checksums are then recomputed.
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/error.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd.h"

namespace {

bool printable(const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

bool hex_digits(const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

}  // namespace

board_identity identity_of_copy(const uint8_t* copy) {
    auto field = [&](uint32_t offset, int length) {
        return std::string(reinterpret_cast<const char*>(copy + offset), static_cast<size_t>(length));
    };
    return {field(VPD_PART_NUM_OFFSET, PART_NUM_LEN), field(VPD_SERIAL_NUM_OFFSET, SERIAL_NUM_LEN),
            field(VPD_MAC_OFFSET, MAC_ADDRESS_LEN)};
}

std::optional<std::string> identity_fault(const uint8_t* copy) {
    std::vector<std::string> wrong;
    if (copy[0] != VPD_TAG_ID_STRING)
        wrong.push_back(strprintf("the copy does not begin with the identifier-string tag 0x82 (it holds 0x%02x)",
                                  copy[0]));
    if (!printable(copy + VPD_PART_NUM_OFFSET, PART_NUM_LEN))
        wrong.push_back("the part number is not printable text");
    if (!printable(copy + VPD_SERIAL_NUM_OFFSET, SERIAL_NUM_LEN))
        wrong.push_back("the serial number is not printable text");
    if (!hex_digits(copy + VPD_MAC_OFFSET, MAC_ADDRESS_LEN))
        wrong.push_back("the MAC address is not 12 hexadecimal digits");
    if (wrong.empty())
        return std::nullopt;
    std::string why;
    for (const std::string& w : wrong)
        why += (why.empty() ? "" : "; ") + w;
    return why;
}

uint8_t get_checksum(const uint8_t* bytes, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(0x100 - sum);
}

void mask_identity(uint8_t* copy, uint8_t value) {
    if (copy[0] != VPD_TAG_ID_STRING || copy[1] != 0x10)
        return;
    std::memset(copy + VPD_PART_NUM_OFFSET, value, PART_NUM_LEN);
    std::memset(copy + VPD_SERIAL_NUM_OFFSET, value, SERIAL_NUM_LEN);
    if (copy[VPD_NA_KEYWORD_OFFSET] == 'N' && copy[VPD_NA_KEYWORD_OFFSET + 1] == 'A')
        std::memset(copy + VPD_MAC_OFFSET, value, MAC_ADDRESS_LEN);
    // Found with the fields masked, so that no identity moves it.
    const vpd_copy_info info = decode_vpd_copy(copy, VPD_COPY_SIZE);
    if (info.rv_offset >= 0)
        copy[info.rv_offset + 3] = value;
}

uint8_t update_checksum(uint8_t* copy, uint32_t size) {
    const vpd_copy_info info = decode_vpd_copy(copy, size);
    if (info.rv_offset < 0)
        return CHECKSUM_NOT_WRITTEN;
    // The sum covers everything up to and including the RV length byte; the
    // checksum byte makes the copy through itself add up to 0.
    const uint32_t at = static_cast<uint32_t>(info.rv_offset) + 3;
    copy[at] = get_checksum(copy, at);
    return copy[at];
}

std::optional<std::string> insert_identity(std::vector<uint8_t>& image, int32_t copies, int32_t first_copy_offset,
                                           const board_identity& id) {
    std::vector<uint8_t> work(image);
    for (int32_t i = 0; i < copies; ++i) {
        const size_t p = static_cast<size_t>(first_copy_offset) + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        auto refuse = [&](const std::string& reason) -> std::optional<std::string> {
            return strprintf("the VPD copy at file offset 0x%zx (%zu) %s", p, p, reason.c_str());
        };
        if (p + VPD_COPY_SIZE > work.size())
            return refuse(strprintf("runs past the end of the file (%zu bytes)", work.size()));
        uint8_t* c = &work[p];
        if (c[0] != VPD_TAG_ID_STRING || c[1] != 0x10)
            return refuse(strprintf("does not begin with the identifier-string tag 0x82 0x10 (it holds 0x%02x 0x%02x)",
                                    c[0], c[1]));
        std::memcpy(c + VPD_PART_NUM_OFFSET, id.part_number.data(), PART_NUM_LEN);
        std::memcpy(c + VPD_SERIAL_NUM_OFFSET, id.serial_number.data(), SERIAL_NUM_LEN);
        if (c[VPD_NA_KEYWORD_OFFSET] == 'N' && c[VPD_NA_KEYWORD_OFFSET + 1] == 'A')
            std::memcpy(c + VPD_MAC_OFFSET, id.mac_address.data(), MAC_ADDRESS_LEN);
        // The checksum byte is found by the structure walk, inside the copy.
        const vpd_copy_info info = decode_vpd_copy(c, VPD_COPY_SIZE);
        if (info.rv_offset < 0)
            return refuse("has no RV checksum field inside the copy" +
                          (info.problems.empty() ? std::string() : " (" + info.problems.front() + ")"));
        const uint32_t at = static_cast<uint32_t>(info.rv_offset) + 3;
        c[at] = get_checksum(c, at);
    }
    image.swap(work);
    return std::nullopt;
}

