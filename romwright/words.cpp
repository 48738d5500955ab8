// The option words and the walk over the command line.
#include <algorithm>
#include <cstring>

#include "common/error.h"
#include "romwright/command_rows.h"
#include "romwright/front_end.h"

namespace {

void set_number(request& rq, uint32_t& field, const char* word, const char* text, uint32_t min, uint32_t max) {
    std::string warning;
    field = number_argument(word, text, min, max, &warning);
    if (!warning.empty())
        rq.warnings.push_back(warning);
}

void set_adapter(request& rq, const char* text) {
    if (std::strcmp(text, "all") == 0) {
        rq.all_adapters = true;
        return;
    }
    adapter_address a;
    if (!parse_adapter_address(text, &a))
        usage_error(strprintf("Unable to parse -b arg: %s\n", text));
    // Each -b adds an adapter; the same address given twice is one.
    for (const adapter_address& b : rq.addresses)
        if (b == a)
            return;
    rq.addresses.push_back(a);
}

// A command word: the row, and the argument its row takes.
void set_command(request& rq, const command_row& row, const char* argument) {
    rq.command = &row;
    rq.command_given = true;
    switch (row.argument) {
    case word_argument::none:
        break;
    case word_argument::file:
        rq.file = argument;
        rq.file_given = true;
        break;
    case word_argument::image:
        if (std::strncmp(argument, "-f", 2) != 0)
            usage_error(row.image_usage);
        if (get_binfile_type_and_name(argument, &rq.type, &rq.file))
            rq.file_given = true;
        break;
    }
}

}  // namespace

const option_word k_option_words[] = {
    {"-b", "ADAPTER", "PCI address [DOMAIN:]BUS:SLOT.FUNCTION, e.g. 04:00.0", true, set_adapter, TAKES_B},
    {"-addr", "FIRST", "first address of the range, a multiple of 4 (default 0)", false,
     [](request& rq, const char* n) { set_number(rq, rq.first, "-addr", n, 0, 0x7FFC); }, TAKES_ADDR},
    {"-len", "LENGTH", "length of the range (default 0x8000, the whole EEPROM)", false,
     [](request& rq, const char* n) { set_number(rq, rq.size, "-len", n, 4, SEEPROM_SIZE); }, TAKES_LEN},
    {"-backup", "FILE", "save the backup taken before a change as FILE", false,
     [](request& rq, const char* file) {
         rq.change.backup_file = file;
         rq.change.no_backup = false;
     },
     TAKES_BACKUP},
    {"-nobackup", nullptr, "take no backup before a change", false,
     [](request& rq, const char*) { rq.change.no_backup = true; }, TAKES_BACKUP},
    {"-changed", nullptr, "write, restore: write only the words that differ", false,
     [](request& rq, const char*) { rq.change.changed_only = true; }, TAKES_CHANGED_OPTION},
    {"-plan", nullptr, "show what a changing command would do, change nothing", false,
     [](request& rq, const char*) { rq.change.plan_only = true; }, TAKES_PLAN},
    {"-force-identity", nullptr, "restore: put another board's identity on this one", false,
     [](request& rq, const char*) { rq.change.force_identity = true; }, TAKES_FORCE_IDENTITY},
    {"-json", nullptr, "print one JSON document (every command)", false,
     [](request& rq, const char*) { rq.json = true; }, TAKES_JSON},
    {"-force-image", nullptr, "write: write an image whose ID string is not the board's", false,
     [](request& rq, const char*) { rq.force_image = true; }, TAKES_FORCE_IMAGE},
    {"-approved", "FILE", "write: only images whose digest FILE lists", false,
     [](request& rq, const char* file) { rq.approved_file = file; }, TAKES_APPROVED},
    {"-metrics-status", nullptr, "vpd -prometheus: status 0 once the metrics are written, findings in them",
     false, [](request& rq, const char*) { rq.metrics_status = true; }, TAKES_METRICS_STATUS},
    {"-v", nullptr, "vpd: show every VPD copy, identical ones too", false,
     [](request& rq, const char*) { rq.every_copy = true; }, TAKES_EVERY_COPY},
    {"-prometheus", "FILE", "vpd: also write identity and VPD state as metrics to FILE", false,
     [](request& rq, const char* file) {
         if (!*file)
             usage_error("ERROR: -prometheus needs a file name\n");
         rq.prometheus_file = file;
     },
     TAKES_PROMETHEUS},
    {"-via", "SOURCE", "vpd: read kernel (its VPD file, copy 0) or registers (all)", false,
     [](request& rq, const char* source) {
         if (std::strcmp(source, "kernel") == 0)
             rq.via = vpd_source_choice::kernel;
         else if (std::strcmp(source, "registers") == 0)
             rq.via = vpd_source_choice::registers;
         else
             usage_error(strprintf("ERROR: -via takes kernel or registers, not '%s'\n", source));
     },
     TAKES_VIA},
    // Read once the walk is over.
    {"bdinfo", "FILE", "read and check a board-info file", false,
     [](request& rq, const char* file) { rq.board_info_files.push_back({file, rq.warnings.size()}); }},
    {"-h", nullptr, "print the short usage text (status 255)", false, [](request&, const char*) { usage_error(""); }},
    // Answers that end the walk with status 0; no -b needed.
    {"--help", nullptr, "print this text", false, [](request& rq, const char*) { rq.answer = help_text(); }},
    {"--version", nullptr, "print the version", false,
     [](request& rq, const char*) { rq.answer = "romwright " ROMWRIGHT_VERSION "\n"; }},
    {nullptr, nullptr, nullptr, false, nullptr},
};

const option_word* find_option(const char* text) {
    for (const option_word* w = k_option_words; w->word; ++w) {
        if (std::strcmp(w->word, text) == 0)
            return w;
        // "--plan" for "-plan": every option longer than one letter.
        if (w->word[0] == '-' && w->word[1] != '-' && std::strlen(w->word) > 2 && text[0] == '-' &&
            std::strcmp(w->word, text + 1) == 0)
            return w;
    }
    return nullptr;
}

namespace {

bool is_json_word(const char* text) {
    const option_word* w = find_option(text);
    return w && w->takes == TAKES_JSON;
}

// Words that began with '-' and were no option: refused, never skipped.
void refuse_unknown_options(const request& rq) {
    if (rq.unknown_options.empty())
        return;
    std::string words;
    for (const std::string& w : rq.unknown_options)
        words += (words.empty() ? "'" : ", '") + w + "'";
    throw failure(error_kind::usage,
                  strprintf("ERROR: unknown option%s %s: nothing was done (romwright --help lists the options)\n",
                            rq.unknown_options.size() > 1 ? "s" : "", words.c_str()));
}

// An option the command does not take is refused, as its row says.
void refuse_options_not_taken(const request& rq) {
    const command_row& row = *rq.command;
    for (const request::option_given& g : rq.options_given)
        if (g.option->takes && !row.takes(g.option->takes))
            throw failure(error_kind::usage, strprintf("ERROR: %s goes with %s, not with %s\n", g.word.c_str(),
                                                       commands_taking(g.option->takes).c_str(), row.word));
}

// The argument of the word at argv[i], which takes one.
const char* argument_of(int argc, char** argv, int i, bool quiet_missing) {
    if (i + 1 >= argc)
        usage_error(quiet_missing ? "" : strprintf("'%s' requires an argument\n", argv[i]));
    return argv[i + 1];
}

// The board-info files named, in word order; the first that fails ends
// the words at its own.
void read_board_info_files(request& rq) {
    for (const request::board_info_word& b : rq.board_info_files) {
        try {
            rq.board_info = read_board_info(b.file.c_str());
        } catch (const failure&) {
            rq.warnings.resize(b.warnings_before);
            throw;
        }
    }
}

}  // namespace

void parse_request(int argc, char** argv, request& rq) {
    rq = request();
    rq.words.assign(argv + 1, argv + std::max(argc, 1));
    if (argc <= 1)
        usage_error("");
    int i = 1;
    try {
        for (; i < argc && rq.answer.empty(); ++i) {
            if (const command_row* c = find_command(argv[i])) {
                const char* argument = nullptr;
                if (c->argument != word_argument::none)
                    argument = argument_of(argc, argv, i++, false);
                set_command(rq, *c, argument);
            } else if (const option_word* w = find_option(argv[i])) {
                const char* argument = nullptr;
                const char* word = argv[i];
                if (w->argument)
                    argument = argument_of(argc, argv, i++, w->quiet_missing);
                w->apply(rq, argument);
                rq.options_given.push_back({w, word});
            } else {
                rq.passed_over.push_back(argv[i]);
                if (argv[i][0] == '-')
                    rq.unknown_options.push_back(argv[i]);
            }
        }
    } catch (const failure&) {
        // The failure is rendered as the whole command line asked: a -json
        // among the words not yet walked counts too.
        for (++i; i < argc; ++i)
            rq.json = rq.json || is_json_word(argv[i]);
        read_board_info_files(rq);  // a board-info file named before the failing word speaks first
        throw;
    }
    for (; i < argc; ++i)  // after an answer
        rq.json = rq.json || is_json_word(argv[i]);
    read_board_info_files(rq);
    if (!rq.answer.empty())
        return;
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
    refuse_unknown_options(rq);
    refuse_options_not_taken(rq);
    if (rq.prometheus_file == "-" && rq.json)
        throw failure(error_kind::usage, "ERROR: -prometheus - and -json both want standard output; give "
                                         "-prometheus a file\n");
    // Alone it would change nothing: an option that is not meant.
    if (rq.metrics_status && rq.prometheus_file.empty())
        throw failure(error_kind::usage, "ERROR: -metrics-status goes with -prometheus FILE: it says whether the "
                                         "metrics were written\n");
}
