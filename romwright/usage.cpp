#include <cstdio>

#include "common/exit_status.h"
#include "romwright/romwright.h"

const std::string& usage_text() {
    static const std::string text =
        "\n"
        "Usage:  romwright <options> <cmd>\n"
        "\n"
        "\tOptions:\n"
        "\t\t-b    <bus>:<slot>.<function>\n"
        "\t\twrite        -f:<path_to_init_vpd_bin_image> \n"
        "\t\t\t      #write seeprom(init+vpd) from <file> \n"
        "\t\t\t      the board information from the card will be used\n"
        "\t\twrite        -fvpd:<path_to_vpd_bin_image> \n"
        "\t\t\t      #write seeprom(vpd only) from <file> \n"
        "\t\t\t      the board information from the card will be used\n"
        "\t\twrite        -finit:<path_to_init_bin_image> \n"
        "\t\t\t      #write seeprom(init only) from <file> \n"
        "\t\tverify       -f:<path_to_init_vpd_bin_image> \n"
        "\t\t\t      #verify seeprom(init+vpd) from <file> \n"
        "\t\tverify       -fvpd:<path_to_vpd_bin_image> <optional_board_info> \n"
        "\t\t\t      #verify seeprom(vpd only) from <file> \n"
        "\t\tverify       -finit:<path_to_init_bin_image>  \n"
        "\t\t\t      #verify seeprom(init only) from <file> \n"
        "\tExamples:\n"
        "\t\tTo update init and vpd \n"
        "\t\t   > romwright -b 04:00.0 write -f:./qb200_initvpd.bin \n"
        "\t\tTo update only vpd \n"
        "\t\t   > romwright -b 04:00.0 write -fvpd:./qb200_vpd.bin \n"
        "\t\tTo update only init \n"
        "\t\t   > romwright -b 04:00.0 write -finit:./qb200_init.bin \n"
        "\n"
        "\t\tTo verify the init and vpd using a binary file\n"
        "\t\t   > romwright -b 04:00.0 verify -f:./seeprom.bin\n"
        "\t\tTo verify the vpd region using a binary file\n"
        "\t\t   > romwright -b 04:00.0 verify -fvpd:./seeprom_v.bin \n"
        "\t\tTo verify the init region using a binary file\n"
        "\t\t   > romwright -b 04:00.0 verify -finit:./seeprom_i.bin\n"
        "\n"
        "This program allows acccess to serial eeprom via\n"
        "PCIE_CFG_SPACE_REQ/DATA registers for faster\n"
        "access to the serial eeprom\n";
    return text;
}

const std::string& help_text() {
    static const std::string text =
        "Usage: romwright -b ADAPTER [OPTION ...] [COMMAND]\n"
        "       romwright list [-json] | -h | --help | --version\n"
        "\n"
        "Commands (one per run; dump when none is given):\n"
        "  dump                print the range -addr, -len as a hex dump\n"
        "  read FILE           save the range into FILE\n"
        "  write -f:FILE       write a whole-EEPROM image; the board keeps its identity\n"
        "  write -fvpd:FILE    write a VPD-only image; the board keeps its identity\n"
        "  write -finit:FILE   write an init-region image\n"
        "  verify -f:FILE      compare an image with the EEPROM (also -fvpd:, -finit:)\n"
        "  restore FILE        put a saved whole-EEPROM image back as it is\n"
        "  clearinit           fill the 1024 bytes from -addr (default 0) with 0xFF\n"
        "  clearvpd            fill 0x0400-0x43FF with 0xFF (erases the identity)\n"
        "  vpd                 check the 14 VPD copies and whether they agree\n"
        "  repair              rewrite bad VPD copies from the agreeing good ones\n"
        "  list                list the adapters (needs no -b)\n"
        "\n"
        "Options:\n"
        "  -b ADAPTER          PCI address [DOMAIN:]BUS:SLOT.FUNCTION, e.g. 04:00.0\n"
        "  -addr FIRST         first address of the range, a multiple of 4 (default 0)\n"
        "  -len LENGTH         length of the range (default 0x8000, the whole EEPROM)\n"
        "  -backup FILE        save the backup taken before a change as FILE\n"
        "  -nobackup           take no backup before a change\n"
        "  -changed            write, restore: write only the words that differ\n"
        "  -plan               show what a changing command would do, change nothing\n"
        "  -json               vpd, list: print one JSON document\n"
        "  bdinfo FILE         read and check a board-info file\n"
        "  -h                  print the short usage text (status 255)\n"
        "  --help              print this text\n"
        "  --version           print the version\n"
        "\n"
        "Numbers are hexadecimal with 0x, otherwise decimal.\n"
        "Exit status: 0 done, 1 rejected or failed, 255 command-line error.\n"
        "The full reference: man 8 romwright\n";
    return text;
}

void print_usage() { std::fputs(usage_text().c_str(), stdout); }

void usage_error(const std::string& message) { throw exit_error(EXIT_STATUS_USAGE, usage_text() + message); }
