// VPD identity transfer: the board's part number, serial number and MAC
// address are read from the EEPROM and written into every VPD copy of an
// image file, whose checksums are then recomputed.
#include <cerrno>
#include <cstring>

#include "common/exit_status.h"
#include "common/file_ptr.h"
#include "eeprom/eeprom.h"

namespace {

const char k_internal_error[] = "Internal error, unable to proceed\n";

// PCI VPD resource tags.
constexpr uint8_t TAG_ID_STRING = 0x82;
constexpr uint8_t TAG_VPD_R = 0x90;
constexpr uint8_t TAG_END = 0x78;

bool seek_to(FILE* fp, long offset) { return std::fseek(fp, offset, SEEK_SET) == 0; }

}  // namespace

char g_part_num[PART_NUM_LEN + 1];
char g_serial_num[SERIAL_NUM_LEN + 1];
char g_mac_address[MAC_ADDRESS_LEN + 1];

void read_board_details_from_chip(char* part_num, char* serial_num, char* mac_address) {
    uint8_t copy[VPD_COPY_SIZE];
    read_seeprom(copy, BOARD_DETAILS_ADDR, VPD_COPY_SIZE);
    std::memset(part_num, 0, PART_NUM_LEN + 1);
    std::memcpy(part_num, copy + VPD_PART_NUM_OFFSET, PART_NUM_LEN);
    std::memset(serial_num, 0, SERIAL_NUM_LEN + 1);
    std::memcpy(serial_num, copy + VPD_SERIAL_NUM_OFFSET, SERIAL_NUM_LEN);
    std::memset(mac_address, 0, MAC_ADDRESS_LEN + 1);
    std::memcpy(mac_address, copy + VPD_MAC_OFFSET, MAC_ADDRESS_LEN);
}

uint8_t get_checksum(const uint8_t* bytes, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(0x100 - sum);
}

int find_rv_field(const uint8_t* copy, uint32_t size) {
    // Identifier string first, then resource items up to the end tag; the
    // "RV" field is a keyword field of the read-only (VPD-R) item.  Every
    // length is checked against the copy's own bytes.
    if (size < 3 || copy[0] != TAG_ID_STRING)
        return -1;
    uint32_t pos = 3 + (uint32_t{copy[1]} | uint32_t{copy[2]} << 8);
    while (pos < size) {
        uint8_t tag = copy[pos];
        if (tag == TAG_END)
            break;
        if ((tag & 0x80) == 0) {  // other small resource item
            pos += 1 + (tag & 7u);
            continue;
        }
        if (pos + 3 > size)
            break;
        uint32_t data = pos + 3;
        uint32_t end = data + (uint32_t{copy[pos + 1]} | uint32_t{copy[pos + 2]} << 8);
        if (end > size)
            end = size;
        if (tag == TAG_VPD_R) {
            for (uint32_t k = data; k + 3 <= end; k += 3 + uint32_t{copy[k + 2]}) {
                if (copy[k] == 'R' && copy[k + 1] == 'V')
                    return (copy[k + 2] >= 1 && k + 3 < end) ? static_cast<int>(k) : -1;
            }
            return -1;
        }
        pos = end;
    }
    return -1;
}

uint8_t update_checksum(FILE* fp, int32_t copy_offset, bool* io_error) {
    long saved = std::ftell(fp);
    if (!seek_to(fp, copy_offset)) {
        std::fputs(k_internal_error, stdout);
        return CHECKSUM_NOT_WRITTEN;
    }
    uint8_t copy[VPD_COPY_SIZE];
    if (std::fread(copy, 1, sizeof copy, fp) != sizeof copy) {
        std::fputs(k_internal_error, stdout);
        if (io_error)
            *io_error = true;
        return CHECKSUM_NOT_WRITTEN;
    }
    int k = find_rv_field(copy, sizeof copy);
    if (k < 0) {
        std::puts("key RV not found");
        return CHECKSUM_NOT_WRITTEN;
    }
    // The sum covers everything up to and including the RV length byte; the
    // checksum byte makes the copy through itself add up to 0.
    uint8_t checksum = get_checksum(copy, static_cast<uint32_t>(k) + 3);
    if (!seek_to(fp, copy_offset + k + 3)) {
        std::puts("Failed to seek to Checksum location");
        return CHECKSUM_NOT_WRITTEN;
    }
    if (std::fwrite(&checksum, 1, 1, fp) != 1) {
        std::fputs(k_internal_error, stdout);
        if (io_error)
            *io_error = true;
    }
    if (saved < 0 || !seek_to(fp, saved)) {
        std::fputs(k_internal_error, stdout);
        return CHECKSUM_NOT_WRITTEN;
    }
    return checksum;
}

int insert_chip_details(const char* filename, int32_t copies, int32_t first_copy_offset, const char* part_num,
                        const char* serial_num, const char* mac_address) {
    file_ptr fp(std::fopen(filename, "r+b"));
    if (!fp)
        throw exit_error(EXIT_STATUS_USAGE, strprintf("Unable to open file:%s\n", filename));
    FILE* f = fp.get();

    for (int32_t i = 0; i < copies; ++i) {
        const long p = static_cast<long>(first_copy_offset) + 1024L * i;
        uint8_t tag[2];
        if (!seek_to(f, p)) {
            std::fputs(k_internal_error, stdout);
            return RESULT_SEEK_FAILED;
        }
        if (std::fread(tag, 1, 2, f) != 2 || tag[0] != TAG_ID_STRING || tag[1] != 0x10) {
            std::fputs(k_internal_error, stdout);
            return RESULT_BAD_DATA;
        }
        if (!seek_to(f, p + VPD_PART_NUM_OFFSET)) {
            std::fputs(k_internal_error, stdout);
            return RESULT_SEEK_FAILED;
        }
        if (std::fwrite(part_num, 1, PART_NUM_LEN, f) != PART_NUM_LEN) {
            std::fputs(k_internal_error, stdout);
            return RESULT_BAD_DATA;
        }
        if (!seek_to(f, p + VPD_SERIAL_NUM_OFFSET)) {
            std::fputs(k_internal_error, stdout);
            return RESULT_SEEK_FAILED;
        }
        if (std::fwrite(serial_num, 1, SERIAL_NUM_LEN, f) != SERIAL_NUM_LEN) {
            std::fputs(k_internal_error, stdout);
            return RESULT_BAD_DATA;
        }
        uint8_t keyword[3];
        if (!seek_to(f, p + VPD_NA_KEYWORD_OFFSET)) {
            std::fputs(k_internal_error, stdout);
            return RESULT_SEEK_FAILED;
        }
        if (std::fread(keyword, 1, 3, f) != 3) {
            std::puts("Failed to fread existing mac address");
            return RESULT_BAD_DATA;
        }
        if (keyword[0] == 'N' && keyword[1] == 'A') {
            // An update stream needs a positioning call between a read and
            // a write.
            if (!seek_to(f, p + VPD_MAC_OFFSET)) {
                std::fputs(k_internal_error, stdout);
                return RESULT_SEEK_FAILED;
            }
            if (std::fwrite(mac_address, 1, MAC_ADDRESS_LEN, f) != MAC_ADDRESS_LEN) {
                std::fputs(k_internal_error, stdout);
                return RESULT_BAD_DATA;
            }
        }
        bool io_error = false;
        update_checksum(f, static_cast<int32_t>(p), &io_error);
        if (io_error)
            return RESULT_BAD_DATA;
    }

    // Buffered writes fail late: only a clean close proves the file holds
    // the identity.
    if (std::fclose(fp.release()) != 0) {
        std::printf("ERROR: writing %s failed: %s\n", filename, std::strerror(errno));
        return RESULT_BAD_DATA;
    }
    return RESULT_OK;
}
