// main's whole control flow: walk the words, check them, find the adapter,
// run one command.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/exit_status.h"
#include "eeprom/eeprom.h"
#include "romwright/romwright.h"

uint32_t g_seeprom_first_addr;
uint32_t g_seeprom_size;
uint32_t g_seeprom_end_addr;
uint32_t g_binfiletype;
char* g_filename;

namespace {

void reset_globals() {
    g_seeprom_first_addr = 0;
    g_seeprom_size = SEEPROM_SIZE;
    g_seeprom_end_addr = SEEPROM_SIZE;
    g_binfiletype = BINFILE_VPD;
    g_filename = nullptr;
    g_boardInfoFile = nullptr;
    std::memset(g_part_num, 0, sizeof g_part_num);
    std::memset(g_serial_num, 0, sizeof g_serial_num);
    std::memset(g_mac_address, 0, sizeof g_mac_address);
}

// Unmaps the window and drops the adapter lock however the run ends.
struct window_guard {
    ~window_guard() { map_dev_ioregion_destroy(); }
};

int run_command(char command) {
    switch (command) {
    case 'r':
        return op_read(g_filename);
    case 'w':
        return op_write(g_filename);
    case 'x':
        return op_verify(g_filename);
    case 'c':
        return clear_init();
    case 'v':
        return clear_vpd();
    default:
        return op_dump();
    }
}

int run(int argc, char** argv) {
    reset_globals();
    if (argc <= 1)
        usage_error("");

    char command = 'd';
    adapter_address address = {false, 0, 0, 0, 0};
    bool address_given = false;

    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (std::strcmp(word, "dump") == 0) {
            command = 'd';
        } else if (std::strcmp(word, "clearinit") == 0) {
            command = 'c';
        } else if (std::strcmp(word, "clearvpd") == 0) {
            command = 'v';
        } else if (std::strcmp(word, "bdinfo") == 0) {
            ck_more_args(word, argc, i);
            g_boardInfoFile = argv[++i];
            op_read_boardinfo_from_file(g_boardInfoFile);
        } else if (std::strcmp(word, "read") == 0) {
            command = 'r';
            ck_more_args(word, argc, i);
            g_filename = argv[++i];
        } else if (std::strcmp(word, "write") == 0 || std::strcmp(word, "verify") == 0) {
            const bool write = word[0] == 'w';
            command = write ? 'w' : 'x';
            ck_more_args(word, argc, i);
            if (std::strncmp(argv[i + 1], "-f", 2) != 0)
                usage_error(write ? "'write' requires an argument '-f_filetype_:<filename>'" : "");
            get_binfile_type_and_name(argv[++i], &g_binfiletype, &g_filename);
        } else if (std::strcmp(word, "-addr") == 0) {
            ck_more_args(word, argc, i);
            g_seeprom_first_addr = prs_num(word, argv[++i], 0, 0x7FFC);
        } else if (std::strcmp(word, "-len") == 0) {
            ck_more_args(word, argc, i);
            g_seeprom_size = prs_num(word, argv[++i], 4, SEEPROM_SIZE);
        } else if (std::strcmp(word, "-b") == 0) {
            if (i + 1 >= argc)
                usage_error("");
            ++i;
            if (!parse_adapter_address(argv[i], &address))
                usage_error(strprintf("Unable to parse -b arg: %s\n", argv[i]));
            address_given = true;
        } else if (std::strcmp(word, "-h") == 0) {
            usage_error("");
        }
        // Any other word is passed over silently.
    }

    if (!address_given)
        throw exit_error(EXIT_STATUS_FAILED, "Please specify the bus:device:function number using -b option\n");
    const uint64_t end = uint64_t{g_seeprom_first_addr} + g_seeprom_size;
    if (end > SEEPROM_SIZE)
        throw exit_error(EXIT_STATUS_FAILED, strprintf("Error: -addr 0x%x + -len 0x%x must be <= 0x%x\n",
                                                       g_seeprom_first_addr, g_seeprom_size, SEEPROM_SIZE));
    g_seeprom_end_addr = static_cast<uint32_t>(end);
    if (g_seeprom_first_addr % 4 != 0)
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("Error: -addr 0x%x must be multiple of 4\n", g_seeprom_first_addr));

    // Everything the command needs from files and ranges is checked before
    // the adapter is touched.
    check_command_inputs(command);

    window_guard window;
    if (dev_find_n_map(address) == 0) {
        std::printf("Unable to find device  %x:", ADAPTER_VENDOR_ID);
        std::puts("*");
        return EXIT_STATUS_FAILED;
    }
    disable_vpd_timer();
    return run_command(command);
}

const char* signal_name(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    default:
        return "a signal";
    }
}

}  // namespace

int romwright_main(int argc, char** argv) {
    int status;
    try {
        status = run(argc, argv);
    } catch (const exit_error& e) {
        std::fputs(e.what(), stdout);
        status = e.status();
    } catch (const std::exception& e) {
        std::printf("ERROR: %s\n", e.what());
        status = EXIT_STATUS_FAILED;
    }
    if (int sig = deferred_signal()) {
        clear_deferred_signal();
        std::printf("Interrupted by %s (signal %d): the transfer was finished first, the adapter reset; stopping\n",
                    signal_name(sig), sig);
        status = EXIT_STATUS_SIGNAL_BASE + sig;
    }
    std::fflush(stdout);
    return status;
}
