// The commands that change or check the EEPROM: write, restore, verify,
// clearinit, clearvpd.  Each holds the microprocessor in reset for its
// transfer and resets the chip afterwards.  Those that change it first read
// the whole EEPROM and save it as a backup (unless told not to); every word
// they write is read back.
#include <cerrno>
#include <cstring>
#include <vector>

#include "adapter/adapter.h"
#include "common/exit_status.h"
#include "common/file_ptr.h"
#include "eeprom/backup.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd.h"

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
uint32_t size_of_whole() { return SEEPROM_SIZE; }
uint32_t at_first_addr() { return g_seeprom_first_addr; }
uint32_t at_zero() { return 0; }
uint32_t behind_init() { return g_seeprom_first_addr + VPD_AREA_START; }

const image_kind k_full = {"VPD+Init area", size_of_full, at_first_addr};
const image_kind k_vpd = {"VPD area", size_of_vpd, behind_init};
const image_kind k_init = {"Init area", size_of_init, at_first_addr};
// What restore takes: the whole EEPROM as read saves it, whatever -len says.
const image_kind k_whole = {"VPD+Init area", size_of_whole, at_zero};

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
// than -len is asked for (than the kind's size, for a whole-EEPROM restore),
// so that a longer file shows as too long.
std::vector<uint8_t> load_image(const image_kind& kind, const char* filename) {
    file_ptr fp(std::fopen(filename, "rb"));
    if (!fp)
        throw exit_error(EXIT_STATUS_USAGE, strprintf("Unable to open file:%s\n", filename));
    std::vector<uint8_t> buf(size_t{&kind == &k_whole ? SEEPROM_SIZE : g_seeprom_size} + 1);
    size_t count = std::fread(buf.data(), 1, buf.size(), fp.get());
    if (count != kind.required_size())
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("Error:  Size of binary file differs from the size of %s, expecting a file of size "
                                   "%d bytes\n",
                                   kind.area, static_cast<int>(kind.required_size())));
    buf.resize(count);
    return buf;
}

// Writes the image file from the kind's first address.  eeprom: the whole
// EEPROM as read before the change, when only the words that differ from it
// are to be written; else nullptr.
int flash_image(const image_kind& kind, const char* filename, const uint8_t* eeprom) {
    std::vector<uint8_t> buf = load_image(kind, filename);
    const uint32_t count = static_cast<uint32_t>(buf.size());
    const uint32_t first = kind.first_address();
    std::printf("Read 0x%x bytes from file %s\n", count, filename);
    up_reset_hold hold;
    uint32_t written = 0;
    int r = hold.run(
        [&] { return write_seeprom(buf.data(), first, count, eeprom ? eeprom + first : nullptr, &written); });
    if (r == RESULT_OK) {
        std::printf("Wrote those bytes to serial eeprom starting at 0x%x\n", &kind == &k_whole ? 0 : g_seeprom_first_addr);
        if (eeprom)
            std::printf("%u words differed from the EEPROM's contents and were written\n", written);
    } else if (r == RESULT_BAD_DATA) {
        std::puts("ERROR: Run time too short! (Run 'romprobe -w 0x7bfc 0'?)");
    }
    hold.release();
    return r == RESULT_OK ? EXIT_STATUS_OK : EXIT_STATUS_FAILED;
}

int verify_image(const image_kind& kind, const char* filename, const char* region) {
    std::vector<uint8_t> buf = load_image(kind, filename);
    const uint32_t count = static_cast<uint32_t>(buf.size());
    std::printf("Read 0x%x bytes from file %s\n", count, filename);
    up_reset_hold hold;
    int r = hold.run([&] { return verify_seeprom(buf.data(), kind.first_address(), count); });
    if (r == RESULT_OK) {
        std::printf("Verifying bytes in serial eeprom%s starting at 0x%x\n", region, g_seeprom_first_addr);
        std::puts("Verification Result: PASSED");
    } else {
        std::puts("Verification Result: FAILED");
    }
    hold.release();
    return r == RESULT_OK ? EXIT_STATUS_OK : EXIT_STATUS_FAILED;
}

// Takes the board's identity from its VPD copy at 0x0800 (copy: its 1024
// bytes) into the identity fields and shows it.
void take_identity_from_board(const uint8_t* copy) {
    char part_num[PART_NUM_LEN + 1];
    char serial_num[SERIAL_NUM_LEN + 1];
    char mac_address[MAC_ADDRESS_LEN + 1];
    board_details_from_copy(copy, part_num, serial_num, mac_address);
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

// Whether a changing command reads the whole EEPROM first: for a backup
// that can be kept, or to write only the words that differ.
bool reads_whole_eeprom(const change_options& opts) {
    return opts.changed_only || (!opts.no_backup && (opts.backup_file || g_platform->backup_dir()));
}

// The whole EEPROM as it is before the change, saved as a backup; empty
// when reads_whole_eeprom() says it is not needed.
std::vector<uint8_t> read_before_change(const change_options& opts) {
    std::vector<uint8_t> eeprom;
    if (reads_whole_eeprom(opts)) {
        eeprom.resize(SEEPROM_SIZE);
        read_seeprom(eeprom.data(), 0, SEEPROM_SIZE);
    }
    return eeprom;
}

void back_up(const std::vector<uint8_t>& eeprom, const change_options& opts) {
    if (!eeprom.empty())
        save_backup(eeprom.data(), mapped_function(), opts);
}

// Carries the identity into the image file, flashes it, and gives the file
// its old bytes back when the flash fails: a failed write leaves both the
// file and (as far as the read-back shows) the EEPROM as they were.
int write_with_identity(const char* filename, int32_t first_copy, int (*flash)(const char*, const uint8_t*),
                        const uint8_t* current) {
    std::vector<uint8_t> original;
    if (insert_chip_details(filename, VPD_COPIES_IN_IMAGE, first_copy, g_part_num, g_serial_num, g_mac_address,
                            &original) != 0)
        return EXIT_STATUS_FAILED;
    const int status = flash(filename, current);
    if (status != EXIT_STATUS_OK && !rewrite_file(filename, original))
        std::printf("ERROR: %s keeps the board's identity: giving it back its earlier bytes failed: %s\n", filename,
                    std::strerror(errno));
    return status;
}

// A blank or broken identity must never be carried into an image and every
// copy on the board.
void refuse_unusable_identity(const uint8_t* copy, const char* filename) {
    std::string why;
    if (check_board_identity(copy, why))
        return;
    const pci_function& fn = mapped_function();
    const char* dir = g_platform->backup_dir();
    throw exit_error(
        EXIT_STATUS_FAILED,
        strprintf("ERROR: the board's identity in its VPD copy at EEPROM address 0x%04x is blank or broken: %s.\n"
                  "Writing %s would carry it into the file and every VPD copy on the board, so nothing was "
                  "changed.\n"
                  "To put back a saved image of this board exactly as it is: romwright -b %04x:%02x:%02x.%x restore "
                  "FILE%s%s%s.\n"
                  "To give a blank board an identity, prepare its image with: romwright-vpd set --pn PART --sn "
                  "SERIAL --mac MAC IMAGE OUT\n",
                  BOARD_DETAILS_ADDR, why.c_str(), filename, fn.domain, fn.bus, fn.dev, fn.func,
                  dir ? " (every run that changed the EEPROM saved a backup first, in " : "", dir ? dir : "",
                  dir ? ")" : ""));
}

}  // namespace

int flash_vpdinit_file(const char* filename, const uint8_t* eeprom) { return flash_image(k_full, filename, eeprom); }
int flash_vpd_file(const char* filename, const uint8_t* eeprom) { return flash_image(k_vpd, filename, eeprom); }
int flash_init_file(const char* filename, const uint8_t* eeprom) { return flash_image(k_init, filename, eeprom); }
int verify_vpdinit_file(const char* filename) { return verify_image(k_full, filename, ""); }
int verify_vpd_file(const char* filename) { return verify_image(k_vpd, filename, ""); }
int verify_init_file(const char* filename) { return verify_image(k_init, filename, "(init)"); }

int op_write(const char* filename, const change_options& opts) {
    // One read serves the backup, the identity and -changed.
    const std::vector<uint8_t> eeprom = read_before_change(opts);
    uint8_t copy[VPD_COPY_SIZE];
    if (eeprom.empty())
        read_seeprom(copy, BOARD_DETAILS_ADDR, VPD_COPY_SIZE);
    else
        std::memcpy(copy, &eeprom[BOARD_DETAILS_ADDR], VPD_COPY_SIZE);
    take_identity_from_board(copy);
    if (g_binfiletype != BINFILE_INIT)
        refuse_unusable_identity(copy, filename);
    back_up(eeprom, opts);
    const uint8_t* current = opts.changed_only ? eeprom.data() : nullptr;
    switch (g_binfiletype) {
    case BINFILE_INITVPD:
        return write_with_identity(filename, 1024, flash_vpdinit_file, current);
    case BINFILE_VPD:
        return write_with_identity(filename, 0, flash_vpd_file, current);
    default:
        return flash_init_file(filename, current);
    }
}

int op_restore(const char* filename, const change_options& opts) {
    const std::vector<uint8_t> eeprom = read_before_change(opts);
    back_up(eeprom, opts);
    return flash_image(k_whole, filename, opts.changed_only ? eeprom.data() : nullptr);
}

int op_verify(const char* filename) {
    uint8_t copy[VPD_COPY_SIZE];
    read_seeprom(copy, BOARD_DETAILS_ADDR, VPD_COPY_SIZE);
    take_identity_from_board(copy);
    switch (g_binfiletype) {
    case BINFILE_INITVPD:
        return verify_vpdinit_file(filename);
    case BINFILE_VPD:
        return verify_vpd_file(filename);
    default:
        return verify_init_file(filename);
    }
}

int clear_init(const change_options& opts) {
    back_up(read_before_change(opts), opts);
    up_reset_hold hold;
    std::printf("\nErasing Init region with 0xff\nwriting to Offset 0x%x...", g_seeprom_first_addr);
    std::fflush(stdout);
    int r = hold.run([&] { return clear_seeprom(g_seeprom_first_addr, INIT_REGION_SIZE, 0xFF); });
    hold.release();
    if (r == RESULT_BAD_DATA)
        std::puts("ERROR");
    if (r != RESULT_OK)
        return EXIT_STATUS_FAILED;
    std::printf("Wrote 0x%x bytes\n", INIT_REGION_SIZE);
    return EXIT_STATUS_OK;
}

int clear_vpd(const change_options& opts) {
    back_up(read_before_change(opts), opts);
    up_reset_hold hold;
    for (int n = 0; n < CLEAR_VPD_REGIONS; ++n) {
        const uint32_t start = VPD_AREA_START + static_cast<uint32_t>(n) * CLEAR_VPD_REGION_SIZE;
        std::printf("\nErasing VPD region %d with 0xff\nwriting to Offset 0x%x...", n, start);
        std::fflush(stdout);
        const int r = hold.run([&] { return clear_seeprom(start, CLEAR_VPD_REGION_SIZE, 0xFF); });
        if (r != RESULT_OK) {
            if (r == RESULT_BAD_DATA)
                std::puts("ERROR");
            hold.release();
            return EXIT_STATUS_FAILED;
        }
        std::printf("Wrote 0x%x bytes\n", CLEAR_VPD_REGION_SIZE);
    }
    hold.release();
    return EXIT_STATUS_OK;
}

void check_command_inputs(command_code command, const change_options& opts) {
    if (opts.changed_only && command != command_code::write && command != command_code::restore)
        throw exit_error(EXIT_STATUS_USAGE, "ERROR: -changed goes with write or restore\n");
    if (command == command_code::write || command == command_code::restore || command == command_code::clearinit ||
        command == command_code::clearvpd)
        check_backup_file(opts);
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
    case command_code::restore:
        load_image(k_whole, g_filename);
        break;
    case command_code::clearinit:
        check_range(g_seeprom_first_addr, INIT_REGION_SIZE, "Init region");
        break;
    case command_code::read: {
        if (g_filename && g_filename[0] == '-')
            throw exit_error(EXIT_STATUS_FAILED, "ERROR: Invalid filename specified\n");
        std::string what;
        if (g_filename && g_platform->own_file && g_platform->own_file(g_filename, what))
            throw exit_error(EXIT_STATUS_FAILED, strprintf("ERROR: %s is %s: reading the EEPROM into it would "
                                                           "destroy it; name another file\n",
                                                           g_filename, what.c_str()));
        break;
    }
    default:
        break;
    }
}
