// EEPROM operations: bulk transfer, commands and the VPD identity transfer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- EEPROM map (byte addresses as commands and image files number them) --
constexpr uint32_t SEEPROM_SIZE = 0x8000;      // 32 KiB
constexpr uint32_t INIT_REGION_START = 0x0000;
constexpr uint32_t INIT_REGION_SIZE = 0x0400;  // 1024 bytes
constexpr uint32_t VPD_AREA_START = 0x0400;
constexpr uint32_t VPD_AREA_SIZE = 0x7C00;     // 31744 bytes
constexpr uint32_t VPD_COPY_SIZE = 0x0400;     // one PCI VPD record
constexpr uint32_t SKIP_WINDOW_FIRST = 0x1AE0; // words passed over by writes,
constexpr uint32_t SKIP_WINDOW_LAST = 0x1BB9;  // clears and compares
constexpr uint32_t STATUS_WORD_ADDR = 0x7FFC;  // reads the EEPROM's status
constexpr uint32_t BOARD_DETAILS_ADDR = 0x0800;  // the copy the identity is read from
constexpr uint32_t CLEAR_VPD_REGION_SIZE = 0x0800;
constexpr int CLEAR_VPD_REGIONS = 8;
constexpr int VPD_COPIES_IN_IMAGE = 14;

inline bool in_skip_window(uint32_t a) { return a > 6879 && a < 7098; }

// ---- image types (g_binfiletype) ------------------------------------------
enum : uint32_t {
    BINFILE_VPD = 0,
    BINFILE_INIT = 1,
    BINFILE_INITVPD = 2,
    BINFILE_UNKNOWN = 255,
};

// ---- result codes of the lower operations ---------------------------------
enum : int {
    RESULT_OK = 0,
    RESULT_SEEK_FAILED = -1,
    RESULT_BAD_DATA = -2,
    RESULT_READBACK_FAILED = -3,  // a word read back different; reported
};
constexpr uint8_t CHECKSUM_NOT_WRITTEN = 255;

// ---- identity fields ---------------------------------------------------
constexpr int PART_NUM_LEN = 16;
constexpr int SERIAL_NUM_LEN = 24;
constexpr int MAC_ADDRESS_LEN = 12;
extern char g_part_num[PART_NUM_LEN + 1];
extern char g_serial_num[SERIAL_NUM_LEN + 1];
extern char g_mac_address[MAC_ADDRESS_LEN + 1];

// Offsets inside a VPD copy.
constexpr uint32_t VPD_PART_NUM_OFFSET = 25;
constexpr uint32_t VPD_SERIAL_NUM_OFFSET = 63;
constexpr uint32_t VPD_NA_KEYWORD_OFFSET = 87;
constexpr uint32_t VPD_MAC_OFFSET = 90;

// ---- operation range, set by the command line -----------------------------
extern uint32_t g_seeprom_first_addr;
extern uint32_t g_seeprom_size;
extern uint32_t g_seeprom_end_addr;
extern uint32_t g_binfiletype;
extern char* g_filename;

// ---- word assembly (byte i+k is bits 8k..8k+7; same on either byte order) -
inline uint32_t word_from_bytes(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void bytes_from_word(uint32_t w, uint8_t* p) {
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w >> 16);
    p[3] = static_cast<uint8_t>(w >> 24);
}

// ---- bulk transfer ------------------------------------------------------
// The buffer holds exactly `length` EEPROM bytes from `address` (a multiple
// of 4) in address order; nothing beyond it is read or written.
void read_seeprom(uint8_t* buf, uint32_t address, uint32_t length);
// Every word written is read back once its write cycle has ended; a word
// that reads back different stops the transfer with its ERROR line printed:
// RESULT_READBACK_FAILED.  Otherwise 0, or RESULT_BAD_DATA when a run of
// more than 32000 bytes took 4 seconds or less (the write cycles cannot have
// happened).  Bytes of a last partial word beyond the range keep the
// EEPROM's present contents.  With `current` (the EEPROM's present bytes of
// the same range) only the words that differ are written, and the progress
// lines and the run-time check count only those; *words_written, when
// given, is set to the number of words written.
int write_seeprom(const uint8_t* buf, uint32_t address, uint32_t length, const uint8_t* current = nullptr,
                  uint32_t* words_written = nullptr);
// 0, or RESULT_BAD_DATA when any compared byte differs; one line per word.
int verify_seeprom(const uint8_t* buf, uint32_t address, uint32_t length);
// Fills the range with `fill`, each word read back; result as write_seeprom.
int clear_seeprom(uint32_t address, uint32_t length, uint32_t fill);

// ---- VPD identity transfer ----------------------------------------------
// The identity fields (16, 24 and 12 bytes, each zero-terminated) of the VPD
// copy at EEPROM address 0x0800, or of a copy in memory.
void read_board_details_from_chip(char* part_num, char* serial_num, char* mac_address);
void board_details_from_copy(const uint8_t* copy, char* part_num, char* serial_num, char* mac_address);
// True when the copy's identity may be carried into an image: it begins with
// the identifier-string tag, part and serial number are printable ASCII and
// the MAC address is 12 hexadecimal digits.  Otherwise why says what is wrong.
bool check_board_identity(const uint8_t* copy, std::string& why);
// Writes the identity into every one of `copies` VPD copies of the image
// (1024 bytes apart from first_copy_offset) and fixes each copy's RV
// checksum, all or nothing: when any copy cannot take it (runs past the
// image, wrong tag, no RV field found by the structure walk) the image is
// left unchanged and why names the copy by its file offset and the reason.
bool insert_identity(std::vector<uint8_t>& image, int32_t copies, int32_t first_copy_offset, const char* part_num,
                     const char* serial_num, const char* mac_address, std::string& why);
// insert_identity on an image file, written back in one piece with its size
// kept.  0, or RESULT_BAD_DATA after printing why (the file then unchanged,
// unless writing it back failed).  *original, when given, receives the
// file's bytes as they were.  Throws exit_error(255) when the file cannot be
// opened for updating.
int insert_chip_details(const char* filename, int32_t copies, int32_t first_copy_offset, const char* part_num,
                        const char* serial_num, const char* mac_address, std::vector<uint8_t>* original = nullptr);
// Writes bytes over the start of an existing file, in one piece, flushed to
// disk; false (errno set) when any step fails.
bool rewrite_file(const char* filename, const std::vector<uint8_t>& bytes);
// Writes the checksum of one copy (size bytes) into its RV field, found by
// the structure walk; returns it, or CHECKSUM_NOT_WRITTEN when there is none.
uint8_t update_checksum(uint8_t* copy, uint32_t size);
uint8_t get_checksum(const uint8_t* bytes, uint32_t count);

// The hex dump of bytes [start, end), buf holding them from start.
std::string render_dump(const uint8_t* buf, uint32_t start, uint32_t end);

// ---- commands (return the exit status) ----------------------------------
// How the commands that change the EEPROM go about it.
struct change_options {
    const char* backup_file = nullptr;  // -backup FILE: the backup goes there
    bool no_backup = false;             // -nobackup
    bool changed_only = false;          // -changed: write only differing words
};

enum class command_code {
    dump,  // the default
    read,
    write,
    restore,
    verify,
    clearinit,
    clearvpd,
    vpd,   // show the VPD copies (eeprom/vpd_report.h)
    list,  // list the adapters on the host; needs no -b
};

int op_dump();
int op_read(const char* filename);
int op_write(const char* filename, const change_options& opts);
// Writes a whole-EEPROM image (32768 bytes) back exactly as it is, from
// address 0, without carrying any identity from the board; the file is only
// read.
int op_restore(const char* filename, const change_options& opts);
int op_verify(const char* filename);
int clear_init(const change_options& opts);
int clear_vpd(const change_options& opts);

// eeprom: the whole EEPROM as read before the change, to write only the
// words that differ from it; nullptr to write every word.
int flash_vpdinit_file(const char* filename, const uint8_t* eeprom = nullptr);
int flash_vpd_file(const char* filename, const uint8_t* eeprom = nullptr);
int flash_init_file(const char* filename, const uint8_t* eeprom = nullptr);
int verify_vpdinit_file(const char* filename);
int verify_vpd_file(const char* filename);
int verify_init_file(const char* filename);

// Checks, before the adapter is touched, what a command will need: the image
// file of write/verify (opens, right size; writable when the identity goes
// into it), the range of a VPD-only image or of clearinit, the read file
// name.  Throws exit_error with the command's own message and status.
void check_command_inputs(command_code command, const change_options& opts);
