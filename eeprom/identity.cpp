// VPD identity transfer: the board's part number, serial number and MAC
// address are read from the EEPROM and written into every VPD copy of an
// image file, whose checksums are then recomputed.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/exit_status.h"
#include "common/file_ptr.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd.h"

namespace {

const char k_internal_error[] = "Internal error, unable to proceed\n";

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

char g_part_num[PART_NUM_LEN + 1];
char g_serial_num[SERIAL_NUM_LEN + 1];
char g_mac_address[MAC_ADDRESS_LEN + 1];

void board_details_from_copy(const uint8_t* copy, char* part_num, char* serial_num, char* mac_address) {
    std::memset(part_num, 0, PART_NUM_LEN + 1);
    std::memcpy(part_num, copy + VPD_PART_NUM_OFFSET, PART_NUM_LEN);
    std::memset(serial_num, 0, SERIAL_NUM_LEN + 1);
    std::memcpy(serial_num, copy + VPD_SERIAL_NUM_OFFSET, SERIAL_NUM_LEN);
    std::memset(mac_address, 0, MAC_ADDRESS_LEN + 1);
    std::memcpy(mac_address, copy + VPD_MAC_OFFSET, MAC_ADDRESS_LEN);
}

void read_board_details_from_chip(char* part_num, char* serial_num, char* mac_address) {
    uint8_t copy[VPD_COPY_SIZE];
    read_seeprom(copy, BOARD_DETAILS_ADDR, VPD_COPY_SIZE);
    board_details_from_copy(copy, part_num, serial_num, mac_address);
}

bool check_board_identity(const uint8_t* copy, std::string& why) {
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
    why.clear();
    for (const std::string& w : wrong)
        why += (why.empty() ? "" : "; ") + w;
    return wrong.empty();
}

uint8_t get_checksum(const uint8_t* bytes, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(0x100 - sum);
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

bool insert_identity(std::vector<uint8_t>& image, int32_t copies, int32_t first_copy_offset, const char* part_num,
                     const char* serial_num, const char* mac_address, std::string& why) {
    std::vector<uint8_t> work(image);
    for (int32_t i = 0; i < copies; ++i) {
        const size_t p = static_cast<size_t>(first_copy_offset) + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        auto refuse = [&](const std::string& reason) {
            why = strprintf("the VPD copy at file offset 0x%zx (%zu) %s", p, p, reason.c_str());
            return false;
        };
        if (p + VPD_COPY_SIZE > work.size())
            return refuse(strprintf("runs past the end of the file (%zu bytes)", work.size()));
        uint8_t* c = &work[p];
        if (c[0] != VPD_TAG_ID_STRING || c[1] != 0x10)
            return refuse(strprintf("does not begin with the identifier-string tag 0x82 0x10 (it holds 0x%02x 0x%02x)",
                                    c[0], c[1]));
        std::memcpy(c + VPD_PART_NUM_OFFSET, part_num, PART_NUM_LEN);
        std::memcpy(c + VPD_SERIAL_NUM_OFFSET, serial_num, SERIAL_NUM_LEN);
        if (c[VPD_NA_KEYWORD_OFFSET] == 'N' && c[VPD_NA_KEYWORD_OFFSET + 1] == 'A')
            std::memcpy(c + VPD_MAC_OFFSET, mac_address, MAC_ADDRESS_LEN);
        // The checksum byte is found by the structure walk, inside the copy.
        const vpd_copy_info info = decode_vpd_copy(c, VPD_COPY_SIZE);
        if (info.rv_offset < 0)
            return refuse("has no RV checksum field inside the copy" +
                          (info.problems.empty() ? std::string() : " (" + info.problems.front() + ")"));
        const uint32_t at = static_cast<uint32_t>(info.rv_offset) + 3;
        c[at] = get_checksum(c, at);
    }
    image.swap(work);
    return true;
}

int insert_chip_details(const char* filename, int32_t copies, int32_t first_copy_offset, const char* part_num,
                        const char* serial_num, const char* mac_address, std::vector<uint8_t>* original) {
    file_ptr fp(std::fopen(filename, "r+b"));
    if (!fp)
        throw exit_error(EXIT_STATUS_USAGE, strprintf("Unable to open file:%s\n", filename));
    std::vector<uint8_t> image;
    uint8_t chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, fp.get())) > 0;)
        image.insert(image.end(), chunk, chunk + n);
    if (std::ferror(fp.get())) {
        std::fputs(k_internal_error, stdout);
        return RESULT_BAD_DATA;
    }

    if (original)
        *original = image;
    // Every copy takes the identity in memory first: a copy that cannot
    // leaves the file (and so the EEPROM) exactly as it was.
    std::string why;
    if (!insert_identity(image, copies, first_copy_offset, part_num, serial_num, mac_address, why)) {
        std::printf("ERROR: %s cannot take the board's identity: %s; nothing was written to the file or the "
                    "EEPROM\n",
                    filename, why.c_str());
        return RESULT_BAD_DATA;
    }

    fp.reset();
    if (!rewrite_file(filename, image)) {
        std::printf("ERROR: writing %s failed: %s; the EEPROM was not changed\n", filename, std::strerror(errno));
        return RESULT_BAD_DATA;
    }
    return RESULT_OK;
}

bool rewrite_file(const char* filename, const std::vector<uint8_t>& bytes) {
    // Over the same bytes, in one piece: the file keeps its size.  Buffered
    // writes fail late, so only a clean flush, sync and close prove that the
    // file holds the bytes.
    FILE* f = std::fopen(filename, "r+b");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0 &&
                    fsync(fileno(f)) == 0;
    const int saved_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!ok)
        errno = saved_errno;
    return ok && closed;
}
