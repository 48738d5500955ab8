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

std::optional<identity_faults> identity_fault(const uint8_t* copy) {
    identity_faults f;
    f.wrong_tag = copy[0] != VPD_TAG_ID_STRING;
    f.tag = copy[0];
    f.part_number = !printable(copy + VPD_PART_NUM_OFFSET, PART_NUM_LEN);
    f.serial_number = !printable(copy + VPD_SERIAL_NUM_OFFSET, SERIAL_NUM_LEN);
    f.mac_address = !hex_digits(copy + VPD_MAC_OFFSET, MAC_ADDRESS_LEN);
    if (!f.wrong_tag && !f.part_number && !f.serial_number && !f.mac_address)
        return std::nullopt;
    return f;
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

std::optional<identity_take_fault> insert_identity(std::vector<uint8_t>& image, int32_t copies,
                                                   int32_t first_copy_offset, const board_identity& id) {
    std::vector<uint8_t> work(image);
    for (int32_t i = 0; i < copies; ++i) {
        const size_t p = static_cast<size_t>(first_copy_offset) + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        identity_take_fault refused;
        refused.offset = p;
        refused.file_size = work.size();
        if (p + VPD_COPY_SIZE > work.size())
            return refused;
        uint8_t* c = &work[p];
        if (c[0] != VPD_TAG_ID_STRING || c[1] != 0x10) {
            refused.why = identity_take_fault::cause::wrong_tag;
            refused.tag[0] = c[0];
            refused.tag[1] = c[1];
            return refused;
        }
        std::memcpy(c + VPD_PART_NUM_OFFSET, id.part_number.data(), PART_NUM_LEN);
        std::memcpy(c + VPD_SERIAL_NUM_OFFSET, id.serial_number.data(), SERIAL_NUM_LEN);
        if (c[VPD_NA_KEYWORD_OFFSET] == 'N' && c[VPD_NA_KEYWORD_OFFSET + 1] == 'A')
            std::memcpy(c + VPD_MAC_OFFSET, id.mac_address.data(), MAC_ADDRESS_LEN);
        // The checksum byte is found by the structure walk, inside the copy.
        const vpd_copy_info info = decode_vpd_copy(c, VPD_COPY_SIZE);
        if (info.rv_offset < 0) {
            refused.why = identity_take_fault::cause::no_checksum_field;
            refused.problems = info.problems;
            return refused;
        }
        const uint32_t at = static_cast<uint32_t>(info.rv_offset) + 3;
        c[at] = get_checksum(c, at);
    }
    image.swap(work);
    return std::nullopt;
}

