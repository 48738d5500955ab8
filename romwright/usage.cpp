#include <cstdio>

#include "common/error.h"
#include "romwright/command_rows.h"
#include "romwright/front_end.h"

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

namespace {

std::string help_entry(const std::string& synopsis, const char* text) {
    return strprintf("  %-19s %s\n", synopsis.c_str(), text);
}

std::string make_help_text() {
    std::string text =
        "Usage: romwright -b ADAPTER [OPTION ...] [COMMAND]\n"
        "       romwright list [-json] | -h | --help | --version\n"
        "\n"
        "Commands (one per run; dump when none is given):\n";
    for (const command_row* c : command_rows())
        for (const help_line& h : c->help)
            if (h.synopsis)
                text += help_entry(h.synopsis, h.text);
    text += "\nOptions:\n";
    for (const option_word* w = k_option_words; w->word; ++w)
        text += help_entry(w->argument ? std::string(w->word) + " " + w->argument : w->word, w->help);
    return text +
           "\n"
           "Numbers are hexadecimal with 0x, otherwise decimal.\n"
           "Exit status: 0 done, 1 rejected or failed, 255 command-line error.\n"
           "The full reference: man 8 romwright\n";
}

}  // namespace

const std::string& help_text() {
    static const std::string text = make_help_text();
    return text;
}

void usage_error(const std::string& message) { throw failure(error_kind::usage, usage_text() + message); }
