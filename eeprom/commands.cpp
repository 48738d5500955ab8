// The commands that change or check the EEPROM: write, verify, clearinit,
// clearvpd.  Each holds the microprocessor in reset for its transfer and
// resets the chip afterwards.
#include <cstring>
#include <vector>

#include "adapter/adapter.h"
#include "common/exit_status.h"
#include "common/file_ptr.h"
#include "eeprom/eeprom.h"

namespace {

// One row per image type: how big its file must be and where it goes.
struct image_kind {
    const char* area;  // in the size message
    uint32_t (*required_size)();
    uint32_t (*first_address)();
};

uint32_t size_of_full() { return g_seeprom_size; }
uint32_t size_of_vpd() { return VPD_AREA_SIZE; }
uint32_t size_of_init() { return INIT_REGION_SIZE; }
uint32_t at_first_addr() { return g_seeprom_first_addr; }
uint32_t behind_init() { return g_seeprom_first_addr + VPD_AREA_START; }

const image_kind k_full = {"VPD+Init area", size_of_full, at_first_addr};
const image_kind k_vpd = {"VPD area", size_of_vpd, behind_init};
const image_kind k_init = {"Init area", size_of_init, at_first_addr};

const image_kind& kind_of(uint32_t type) {
    switch (type) {
    case BINFILE_VPD:
        return k_vpd;
    case BINFILE_INIT:
        return k_init;
    default:
        return k_full;
    }
}

// Reads the image file; it must hold exactly the kind's size.  One byte more
// than -len is asked for, so that a longer file shows as too long.
std::vector<uint8_t> load_image(const image_kind& kind, const char* filename) {
    file_ptr fp(std::fopen(filename, "rb"));
    if (!fp)
        throw exit_error(EXIT_STATUS_USAGE, strprintf("Unable to open file:%s\n", filename));
    std::vector<uint8_t> buf(size_t{g_seeprom_size} + 1);
    size_t count = std::fread(buf.data(), 1, buf.size(), fp.get());
    if (count != kind.required_size())
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("Error:  Size of binary file differs from the size of %s, expecting a file of size "
                                   "%d bytes\n",
                                   kind.area, static_cast<int>(kind.required_size())));
    buf.resize(count);
    return buf;
}

int flash_image(const image_kind& kind, const char* filename) {
    std::vector<uint8_t> buf = load_image(kind, filename);
    const uint32_t count = static_cast<uint32_t>(buf.size());
    std::printf("Read 0x%x bytes from file %s\n", count, filename);
    up_reset_hold hold;
    int r = write_seeprom(buf.data(), kind.first_address(), count);
    if (r == RESULT_OK)
        std::printf("Wrote those bytes to serial eeprom starting at 0x%x\n", g_seeprom_first_addr);
    else
        std::puts("ERROR: Run time too short! (Run 'romprobe -w 0x7bfc 0'?)");
    hold.release();
    return r == RESULT_OK ? EXIT_STATUS_OK : EXIT_STATUS_FAILED;
}

int verify_image(const image_kind& kind, const char* filename, const char* region) {
    std::vector<uint8_t> buf = load_image(kind, filename);
    const uint32_t count = static_cast<uint32_t>(buf.size());
    std::printf("Read 0x%x bytes from file %s\n", count, filename);
    up_reset_hold hold;
    int r = verify_seeprom(buf.data(), kind.first_address(), count);
    if (r == RESULT_OK) {
        std::printf("Verifying bytes in serial eeprom%s starting at 0x%x\n", region, g_seeprom_first_addr);
        std::puts("Verification Result: PASSED");
    } else {
        std::puts("Verification Result: FAILED");
    }
    hold.release();
    return r == RESULT_OK ? EXIT_STATUS_OK : EXIT_STATUS_FAILED;
}

// Reads the board's identity into the identity fields and shows it.
void take_identity_from_board() {
    char part_num[PART_NUM_LEN + 1];
    char serial_num[SERIAL_NUM_LEN + 1];
    char mac_address[MAC_ADDRESS_LEN + 1];
    read_board_details_from_chip(part_num, serial_num, mac_address);
    std::memcpy(g_part_num, part_num, sizeof g_part_num);
    g_part_num[PART_NUM_LEN] = 0;
    std::printf("Using Part number(from Board)\t:%s\n", g_part_num);
    std::memcpy(g_serial_num, serial_num, sizeof g_serial_num);
    g_serial_num[SERIAL_NUM_LEN] = 0;
    std::printf("Using Serial number(from Board)\t:%s\n", g_serial_num);
    std::memcpy(g_mac_address, mac_address, sizeof g_mac_address);
    g_mac_address[MAC_ADDRESS_LEN] = 0;
    std::printf("Using MAC address(from Board)\t:%s\n", g_mac_address);
}

// A range [first, first + size) must end at or below the EEPROM's end.
void check_range(uint32_t first, uint32_t size, const char* what) {
    if (uint64_t{first} + size > SEEPROM_SIZE)
        throw exit_error(EXIT_STATUS_FAILED, strprintf("Error: %s at 0x%x + 0x%x must end at or below 0x%x\n", what,
                                                       first, size, SEEPROM_SIZE));
}

}  // namespace

int flash_vpdinit_file(const char* filename) { return flash_image(k_full, filename); }
int flash_vpd_file(const char* filename) { return flash_image(k_vpd, filename); }
int flash_init_file(const char* filename) { return flash_image(k_init, filename); }
int verify_vpdinit_file(const char* filename) { return verify_image(k_full, filename, ""); }
int verify_vpd_file(const char* filename) { return verify_image(k_vpd, filename, ""); }
int verify_init_file(const char* filename) { return verify_image(k_init, filename, "(init)"); }

int op_write(const char* filename) {
    take_identity_from_board();
    switch (g_binfiletype) {
    case BINFILE_INITVPD:
        if (insert_chip_details(filename, VPD_COPIES_IN_IMAGE, 1024, g_part_num, g_serial_num, g_mac_address) != 0)
            return EXIT_STATUS_FAILED;
        return flash_vpdinit_file(filename);
    case BINFILE_VPD:
        if (insert_chip_details(filename, VPD_COPIES_IN_IMAGE, 0, g_part_num, g_serial_num, g_mac_address) != 0)
            return EXIT_STATUS_FAILED;
        return flash_vpd_file(filename);
    default:
        return flash_init_file(filename);
    }
}

int op_verify(const char* filename) {
    take_identity_from_board();
    switch (g_binfiletype) {
    case BINFILE_INITVPD:
        return verify_vpdinit_file(filename);
    case BINFILE_VPD:
        return verify_vpd_file(filename);
    default:
        return verify_init_file(filename);
    }
}

int clear_init() {
    up_reset_hold hold;
    std::printf("\nErasing Init region with 0xff\nwriting to Offset 0x%x...", g_seeprom_first_addr);
    std::fflush(stdout);
    int r = clear_seeprom(g_seeprom_first_addr, INIT_REGION_SIZE, 0xFF);
    hold.release();
    if (r == RESULT_BAD_DATA) {
        std::puts("ERROR");
        return EXIT_STATUS_FAILED;
    }
    std::printf("Wrote 0x%x bytes\n", INIT_REGION_SIZE);
    return EXIT_STATUS_OK;
}

int clear_vpd() {
    up_reset_hold hold;
    for (int n = 0; n < CLEAR_VPD_REGIONS; ++n) {
        const uint32_t start = VPD_AREA_START + static_cast<uint32_t>(n) * CLEAR_VPD_REGION_SIZE;
        std::printf("\nErasing VPD region %d with 0xff\nwriting to Offset 0x%x...", n, start);
        std::fflush(stdout);
        if (clear_seeprom(start, CLEAR_VPD_REGION_SIZE, 0xFF) == RESULT_BAD_DATA) {
            std::puts("ERROR");
            hold.release();
            return EXIT_STATUS_FAILED;
        }
        std::printf("Wrote 0x%x bytes\n", CLEAR_VPD_REGION_SIZE);
    }
    hold.release();
    return EXIT_STATUS_OK;
}

void check_command_inputs(command_code command) {
    switch (command) {
    case command_code::write:
    case command_code::verify: {
        const char* word = command == command_code::write ? "write" : "verify";
        if (!g_filename)
            throw exit_error(EXIT_STATUS_USAGE,
                             strprintf("ERROR: '%s' names no image file: give -f:<file>, -fvpd:<file> or "
                                       "-finit:<file>\n",
                                       word));
        const image_kind& kind = kind_of(g_binfiletype);
        check_range(kind.first_address(), kind.required_size(),
                    g_binfiletype == BINFILE_VPD ? "VPD image" : g_binfiletype == BINFILE_INIT ? "Init image"
                                                                                              : "image");
        load_image(kind, g_filename);
        if (command == command_code::write && g_binfiletype != BINFILE_INIT) {
            // The identity goes into the file in place before the flash.
            file_ptr fp(std::fopen(g_filename, "r+b"));
            if (!fp)
                throw exit_error(EXIT_STATUS_USAGE, strprintf("Unable to open file:%s\n", g_filename));
        }
        break;
    }
    case command_code::clearinit:
        check_range(g_seeprom_first_addr, INIT_REGION_SIZE, "Init region");
        break;
    case command_code::read:
        if (g_filename && g_filename[0] == '-')
            throw exit_error(EXIT_STATUS_FAILED, "ERROR: Invalid filename specified\n");
        break;
    default:
        break;
    }
}
