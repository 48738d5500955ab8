// romwright-completion: writes the bash completion of romwright,
// romwright-sim and romwright-vpd at build time, its tables taken from the
// programs themselves: romwright's command rows and option words,
// romwright-sim's options as its parser registers them, and romwright-vpd's
// options and subcommands as its --help shows them (vpd-help.cmake).
//   romwright-completion TEMPLATE VPD-HELP OUT
// TEMPLATE's line "@ROMWRIGHT_TABLES@" becomes the tables.
#include <cctype>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/input_file.h"
#include "common/replace_file.h"
#include "romwright/command_rows.h"
#include "romwright/front_end.h"
#include "romwright/messages.h"
#include "sim/sim_options.h"

namespace {

using words = std::vector<std::string>;

void add_once(words& w, const std::string& word) {
    for (const std::string& x : w)
        if (x == word)
            return;
    w.push_back(word);
}

std::string joined(const words& w) {
    std::string text;
    for (const std::string& x : w)
        text += (text.empty() ? "" : " ") + x;
    return text;
}

// The words a line holds, split at blanks.
words split(const std::string& line) {
    words w;
    std::istringstream in(line);
    for (std::string x; in >> x;)
        w.push_back(x);
    return w;
}

// NAME='WORD WORD ...': the words must need no quoting inside single quotes
// and NAME's part after the prefix must make a shell variable's name.
class tables {
public:
    void put(const std::string& name, const words& w) {
        for (char c : name)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
                throw std::runtime_error("'" + name + "' cannot name a shell variable");
        for (const std::string& x : w)
            if (x.find_first_of("' \t\n") != std::string::npos)
                throw std::runtime_error("the word '" + x + "' cannot go into the completion's tables");
        text_ += name + "='" + joined(w) + "'\n";
    }
    void comment(const std::string& c) { text_ += "\n# " + c + "\n"; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// ---- romwright --------------------------------------------------------------

void romwright_tables(tables& t) {
    words commands, with_file, with_image, image_types;
    for (const command_row* r : command_rows()) {
        commands.push_back(r->word);
        if (r->argument == word_argument::file)
            with_file.push_back(r->word);
        if (r->argument != word_argument::image)
            continue;
        with_image.push_back(r->word);
        // The image types its help lines show ("write -fvpd:FILE"), each
        // one the program's own parser takes.
        for (const help_line& h : r->help)
            for (const std::string& w : h.synopsis ? split(h.synopsis) : words{}) {
                const size_t colon = w.find(':');
                if (w.compare(0, 2, "-f") != 0 || colon == std::string::npos)
                    continue;
                image_type type;
                std::string file;
                get_binfile_type_and_name((w.substr(0, colon + 1) + "x").c_str(), &type, &file);
                add_once(image_types, w.substr(0, colon + 1));
            }
    }

    // Every option in its written form, and the double-dash form it also
    // answers to, by the kind of argument it takes.
    words options, with_adapter, with_option_file, with_value;
    for (const option_word* o = k_option_words; o->word; ++o) {
        options.push_back(o->word);
        words forms{o->word};
        if (o->word[0] == '-' && o->word[1] != '-' && std::strlen(o->word) > 2)
            forms.push_back(std::string("-") + o->word);
        if (!o->argument)
            continue;
        words& kind = std::strcmp(o->argument, "ADAPTER") == 0 ? with_adapter
                      : std::strcmp(o->argument, "FILE") == 0  ? with_option_file
                                                               : with_value;
        kind.insert(kind.end(), forms.begin(), forms.end());
    }

    t.comment("romwright: its commands, the options and the commands that take an argument");
    t.put("_romwright_commands", commands);
    t.put("_romwright_commands_with_file", with_file);
    t.put("_romwright_commands_with_image", with_image);
    t.put("_romwright_image_types", image_types);
    t.put("_romwright_options", options);
    t.put("_romwright_options_with_adapter", with_adapter);
    t.put("_romwright_options_with_file", with_option_file);
    t.put("_romwright_options_with_value", with_value);
    t.comment("romwright: the options each command takes");
    for (const command_row* r : command_rows()) {
        words taken;
        for (const option_word* o = k_option_words; o->word; ++o)
            if (o->takes == 0 || r->takes(o->takes))
                taken.push_back(o->word);
        t.put(std::string("_romwright_options_") + r->word, taken);
    }
}

// ---- romwright-sim ----------------------------------------------------------

sim_command_line parse_sim(const words& w) {
    std::vector<std::string> args{"romwright-sim"};
    args.insert(args.end(), w.begin(), w.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_sim_command_line(static_cast<int>(args.size()), argv.data());
}

// The options as --help lists them ("  --name [VALUE]  description"); an
// option takes a value when the parser refuses it alone, and the word after
// its name on its help line names the value: FILE, SOCKET and DIR complete
// file and folder names, "a|b" its words.
void sim_tables(tables& t) {
    words options, with_file, with_dir, with_words, with_value;
    std::vector<std::pair<std::string, words>> values;
    std::istringstream help(parse_sim({"--help"}).help_text);
    for (std::string line; std::getline(help, line);) {
        if (line.compare(0, 4, "  --") != 0)
            continue;
        const words w = split(line);
        options.push_back(w[0]);
        try {
            parse_sim({w[0]});
            continue;  // a flag
        } catch (const failure&) {
        }
        const std::string value = w.size() > 1 ? w[1] : "";
        if (value == "FILE" || value == "SOCKET") {
            with_file.push_back(w[0]);
        } else if (value == "DIR") {
            with_dir.push_back(w[0]);
        } else if (value.find('|') != std::string::npos) {
            with_words.push_back(w[0]);
            words alternatives;
            std::istringstream in(value);
            for (std::string a; std::getline(in, a, '|');)
                alternatives.push_back(a);
            values.emplace_back(w[0], alternatives);
        } else {
            with_value.push_back(w[0]);
        }
    }
    if (options.empty())
        throw std::runtime_error("romwright-sim --help lists no options");

    t.comment("romwright-sim: its options, by what their values are");
    t.put("_romwright_sim_options", options);
    t.put("_romwright_sim_options_with_file", with_file);
    t.put("_romwright_sim_options_with_dir", with_dir);
    t.put("_romwright_sim_options_with_words", with_words);
    t.put("_romwright_sim_options_with_value", with_value);
    for (const auto& [option, alternatives] : values) {
        std::string name = option.substr(2);
        for (char& c : name)
            c = c == '-' ? '_' : c;
        t.put("_romwright_sim_values_" + name, alternatives);
    }
}

// ---- romwright-vpd ----------------------------------------------------------

// One part of romwright-vpd's help (vpd-help.cmake): the options of its
// "Options:" section, those that take a value ("--pn TEXT"), the names of
// its "Subcommands:" section.
struct vpd_help {
    std::string subcommand;  // empty: the program's own
    words options, with_value, subcommands;
};

std::vector<vpd_help> read_vpd_help(std::istream& in) {
    std::vector<vpd_help> parts(1);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 3, "== ") == 0) {
            parts.push_back(vpd_help{line.substr(3), {}, {}, {}});
            section.clear();
        } else if (!line.empty() && line[0] != ' ') {
            section = line;
        } else if (line.compare(0, 2, "  ") == 0 && line.size() > 2 && line[2] != ' ') {
            // The name field ends at the first run of two blanks.
            const words name = split(line.substr(0, line.find("  ", 2)));
            if (section == "Subcommands:") {
                parts.back().subcommands.push_back(name[0]);
            } else if (section == "Options:") {
                std::istringstream names(name[0]);
                for (std::string n; std::getline(names, n, ',');) {
                    parts.back().options.push_back(n);
                    if (name.size() > 1 && name[1] != "REQUIRED")
                        parts.back().with_value.push_back(n);
                }
            }
        }
    }
    return parts;
}

void vpd_tables(tables& t, std::istream& help) {
    const std::vector<vpd_help> parts = read_vpd_help(help);
    if (parts[0].options.empty())
        throw std::runtime_error("romwright-vpd's help lists no options");
    t.comment("romwright-vpd: its options and subcommands, and theirs");
    t.put("_romwright_vpd_options", parts[0].options);
    t.put("_romwright_vpd_options_with_value", parts[0].with_value);
    t.put("_romwright_vpd_subcommands", parts[0].subcommands);
    for (size_t i = 1; i < parts.size(); ++i) {
        t.put("_romwright_vpd_options_" + parts[i].subcommand, parts[i].options);
        t.put("_romwright_vpd_options_with_value_" + parts[i].subcommand, parts[i].with_value);
    }
}

// The template and the help text: plain files, read through the program's
// one reader (a FIFO or a folder in their place is refused, not waited on
// or read as empty).
std::string read_all(const char* path) {
    const input_file f = read_input_file(path, input_rules{1 << 20});
    if (!f.ok() || f.bytes.size() > (1 << 20))
        throw std::runtime_error(std::string("cannot read ") + path + ": " + (f.ok() ? "too long" : f.refusal));
    return std::string(f.bytes.begin(), f.bytes.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: romwright-completion TEMPLATE VPD-HELP OUT\n";
        return 2;
    }
    try {
        tables t;
        romwright_tables(t);
        sim_tables(t);
        std::istringstream vpd(read_all(argv[2]));
        vpd_tables(t, vpd);

        std::string text = read_all(argv[1]);
        const std::string mark = "@ROMWRIGHT_TABLES@\n";
        const size_t at = text.find(mark);
        if (at == std::string::npos)
            throw std::runtime_error(std::string(argv[1]) + " has no line @ROMWRIGHT_TABLES@");
        text.replace(at, mark.size(), t.text().substr(1));  // without the first blank line

        // Replaced whole, never through a link: a failed run leaves the old
        // file.
        replace_file(argv[3], "the completion", text.data(), text.size(), 0644, {});
    } catch (const failure& f) {
        std::cerr << "romwright-completion: " << message_of(f);
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "romwright-completion: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
