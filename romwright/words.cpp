// The table of command-line words and the walk it drives.
#include <cstring>

#include "common/exit_status.h"
#include "eeprom/eeprom.h"
#include "romwright/command_line.h"
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

void set_command(command_line& cl, command_code c) {
    cl.command = c;
    cl.command_given = true;
}

// write and verify take an image argument "-f<type>:<file>".
void set_image_command(command_line& cl, command_code c, char* argument) {
    set_command(cl, c);
    if (std::strncmp(argument, "-f", 2) != 0)
        usage_error(c == command_code::write ? "'write' requires an argument '-f_filetype_:<filename>'" : "");
    get_binfile_type_and_name(argument, &g_binfiletype, &g_filename);
}

}  // namespace

const command_word k_command_words[] = {
    {"dump", false, false, [](command_line& cl, char*) { set_command(cl, command_code::dump); }},
    {"clearinit", false, false, [](command_line& cl, char*) { set_command(cl, command_code::clearinit); }},
    {"clearvpd", false, false, [](command_line& cl, char*) { set_command(cl, command_code::clearvpd); }},
    {"bdinfo", true, false,
     [](command_line&, char* file) {
         g_boardInfoFile = file;
         op_read_boardinfo_from_file(file);
     }},
    {"read", true, false,
     [](command_line& cl, char* file) {
         set_command(cl, command_code::read);
         g_filename = file;
     }},
    {"write", true, false, [](command_line& cl, char* arg) { set_image_command(cl, command_code::write, arg); }},
    {"verify", true, false, [](command_line& cl, char* arg) { set_image_command(cl, command_code::verify, arg); }},
    {"-addr", true, false, [](command_line&, char* n) { g_seeprom_first_addr = prs_num("-addr", n, 0, 0x7FFC); }},
    {"-len", true, false, [](command_line&, char* n) { g_seeprom_size = prs_num("-len", n, 4, SEEPROM_SIZE); }},
    {"-b", true, true,
     [](command_line& cl, char* text) {
         if (!parse_adapter_address(text, &cl.address))
             usage_error(strprintf("Unable to parse -b arg: %s\n", text));
         cl.address_given = true;
     }},
    {"restore", true, false,
     [](command_line& cl, char* file) {
         set_command(cl, command_code::restore);
         g_filename = file;
     }},
    {"-backup", true, false,
     [](command_line& cl, char* file) {
         cl.change.backup_file = file;
         cl.change.no_backup = false;
     }},
    {"-nobackup", false, false, [](command_line& cl, char*) { cl.change.no_backup = true; }},
    {"-changed", false, false, [](command_line& cl, char*) { cl.change.changed_only = true; }},
    {"-h", false, false, [](command_line&, char*) { usage_error(""); }},
    {"vpd", false, false, [](command_line& cl, char*) { set_command(cl, command_code::vpd); }},
    {"list", false, false, [](command_line& cl, char*) { set_command(cl, command_code::list); }},
    {"-json", false, false, [](command_line& cl, char*) { cl.json = true; }},
    // Answers that end the walk with status 0; no -b needed.
    {"--help", false, false, [](command_line&, char*) { throw exit_error(EXIT_STATUS_OK, help_text()); }},
    {"--version", false, false,
     [](command_line&, char*) { throw exit_error(EXIT_STATUS_OK, "romwright " ROMWRIGHT_VERSION "\n"); }},
    {nullptr, false, false, nullptr},
};

bool g_json_output = false;

namespace {

const command_word* find_word(const char* text) {
    const command_word* w = k_command_words;
    while (w->word && std::strcmp(w->word, text) != 0)
        ++w;
    return w->word ? w : nullptr;
}

}  // namespace

bool json_requested(int argc, char** argv) {
    bool json = false, json_command = false;
    for (int i = 1; i < argc; ++i) {
        const command_word* w = find_word(argv[i]);
        if (!w)
            continue;
        json = json || std::strcmp(w->word, "-json") == 0;
        json_command = json_command || std::strcmp(w->word, "vpd") == 0 || std::strcmp(w->word, "list") == 0;
        if (w->takes_argument)
            ++i;
    }
    return json && json_command;
}

command_line parse_command_line(int argc, char** argv) {
    g_json_output = json_requested(argc, argv);
    reset_globals();
    if (argc <= 1)
        usage_error("");
    command_line cl;
    for (int i = 1; i < argc; ++i) {
        const command_word* w = find_word(argv[i]);
        if (!w) {
            cl.passed_over.push_back(argv[i]);
            continue;
        }
        char* argument = nullptr;
        if (w->takes_argument) {
            if (w->quiet_missing && i + 1 >= argc)
                usage_error("");
            ck_more_args(w->word, argc, i);
            argument = argv[++i];
        }
        w->apply(cl, argument);
    }
    // Without a command word, a word passed over is most likely a misspelt
    // command: running the default dump instead would pass for success.
    if (!cl.command_given && !cl.passed_over.empty()) {
        std::string words;
        for (const std::string& w : cl.passed_over)
            words += (words.empty() ? "'" : ", '") + w + "'";
        throw exit_error(EXIT_STATUS_USAGE,
                         strprintf("ERROR: unknown word%s %s and no command word: nothing was done (man 8 "
                                   "romwright lists the commands)\n",
                                   cl.passed_over.size() > 1 ? "s" : "", words.c_str()));
    }
    return cl;
}
