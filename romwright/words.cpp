// The table of command-line words and the walk it drives.
#include <cstring>

#include "common/error.h"
#include "romwright/romwright.h"

namespace {

void set_command(request& rq, command_code c) {
    rq.command = c;
    rq.command_given = true;
}

void set_file(request& rq, command_code c, char* file) {
    set_command(rq, c);
    rq.file = file;
    rq.file_given = true;
}

// write and verify take an image argument "-f<type>:<file>".
void set_image_command(request& rq, command_code c, char* argument) {
    set_command(rq, c);
    if (std::strncmp(argument, "-f", 2) != 0)
        usage_error(c == command_code::write ? "'write' requires an argument '-f_filetype_:<filename>'" : "");
    if (get_binfile_type_and_name(argument, &rq.type, &rq.file))
        rq.file_given = true;
}

// The same address given twice is one adapter.
void add_address(request& rq, const adapter_address& a) {
    for (const adapter_address& b : rq.addresses)
        if (b.has_domain == a.has_domain && b.domain == a.domain && b.bus == a.bus && b.slot == a.slot &&
            b.function == a.function)
            return;
    rq.addresses.push_back(a);
}

void set_number(request& rq, uint32_t& field, const char* word, const char* text, uint32_t min, uint32_t max) {
    std::string warning;
    field = prs_num(word, text, min, max, &warning);
    if (!warning.empty())
        rq.warnings.push_back(warning);
}

}  // namespace

const command_word k_command_words[] = {
    {"dump", false, false, [](request& rq, char*) { set_command(rq, command_code::dump); }},
    {"clearinit", false, false, [](request& rq, char*) { set_command(rq, command_code::clearinit); }},
    {"clearvpd", false, false, [](request& rq, char*) { set_command(rq, command_code::clearvpd); }},
    {"repair", false, false, [](request& rq, char*) { set_command(rq, command_code::repair); }},
    {"bdinfo", true, false, [](request& rq, char* file) { rq.board_info = read_board_info(file); }},
    {"read", true, false, [](request& rq, char* file) { set_file(rq, command_code::read, file); }},
    {"write", true, false, [](request& rq, char* arg) { set_image_command(rq, command_code::write, arg); }},
    {"verify", true, false, [](request& rq, char* arg) { set_image_command(rq, command_code::verify, arg); }},
    {"-addr", true, false, [](request& rq, char* n) { set_number(rq, rq.first, "-addr", n, 0, 0x7FFC); }},
    {"-len", true, false, [](request& rq, char* n) { set_number(rq, rq.size, "-len", n, 4, SEEPROM_SIZE); }},
    {"-b", true, true,
     [](request& rq, char* text) {
         if (std::strcmp(text, "all") == 0) {
             rq.all_adapters = true;
             return;
         }
         adapter_address a;
         if (!parse_adapter_address(text, &a))
             usage_error(strprintf("Unable to parse -b arg: %s\n", text));
         add_address(rq, a);  // each -b adds an adapter
     }},
    {"restore", true, false, [](request& rq, char* file) { set_file(rq, command_code::restore, file); }},
    {"-backup", true, false,
     [](request& rq, char* file) {
         rq.change.backup_file = file;
         rq.change.no_backup = false;
     }},
    {"-nobackup", false, false, [](request& rq, char*) { rq.change.no_backup = true; }},
    {"-changed", false, false, [](request& rq, char*) { rq.change.changed_only = true; }},
    {"-plan", false, false, [](request& rq, char*) { rq.change.plan_only = true; }},
    {"-force-identity", false, false, [](request& rq, char*) { rq.change.force_identity = true; }},
    {"-h", false, false, [](request&, char*) { usage_error(""); }},
    {"vpd", false, false, [](request& rq, char*) { set_command(rq, command_code::vpd); }},
    {"list", false, false, [](request& rq, char*) { set_command(rq, command_code::list); }},
    {"-json", false, false, [](request& rq, char*) { rq.json = true; }},
    // Answers that end the walk with status 0; no -b needed.
    {"--help", false, false, [](request&, char*) { throw failure(error_kind::answer, help_text()); }},
    {"--version", false, false,
     [](request&, char*) { throw failure(error_kind::answer, "romwright " ROMWRIGHT_VERSION "\n"); }},
    {nullptr, false, false, nullptr},
};

namespace {

const command_word* find_word(const char* text) {
    const command_word* w = k_command_words;
    while (w->word && std::strcmp(w->word, text) != 0)
        ++w;
    return w->word ? w : nullptr;
}

}  // namespace

void parse_request(int argc, char** argv, request& rq) {
    rq = request();
    if (argc <= 1)
        usage_error("");
    int i = 1;
    try {
        for (; i < argc; ++i) {
            const command_word* w = find_word(argv[i]);
            if (!w) {
                rq.passed_over.push_back(argv[i]);
                continue;
            }
            char* argument = nullptr;
            if (w->takes_argument) {
                if (i + 1 >= argc)
                    usage_error(w->quiet_missing ? "" : strprintf("'%s' requires an argument\n", w->word));
                argument = argv[++i];
            }
            w->apply(rq, argument);
        }
    } catch (const failure&) {
        // The failure is rendered as the whole command line asked: a -json
        // among the words not yet walked counts too.
        for (++i; i < argc; ++i)
            rq.json = rq.json || std::strcmp(argv[i], "-json") == 0;
        throw;
    }
    // Without a command word, a word passed over is most likely a misspelt
    // command: running the default dump instead would pass for success.
    if (!rq.command_given && !rq.passed_over.empty()) {
        std::string words;
        for (const std::string& w : rq.passed_over)
            words += (words.empty() ? "'" : ", '") + w + "'";
        throw failure(error_kind::usage,
                      strprintf("ERROR: unknown word%s %s and no command word: nothing was done (man 8 romwright lists "
                                "the commands)\n",
                                rq.passed_over.size() > 1 ? "s" : "", words.c_str()));
    }
}
