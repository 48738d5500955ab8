// romwright-sim's own command line.
#include "sim/sim_options.h"

#include <cctype>
#include <functional>
#include <optional>

#include <CLI/CLI.hpp>

#include "adapter/adapter.h"
#include "common/error.h"

namespace {

[[noreturn]] void refuse(const std::string& text) {
    throw failure(error_kind::tool_usage, "romwright-sim: " + text + "\n");
}

[[noreturn]] void refuse_value(const char* option, const std::string& value, const std::string& expected) {
    refuse(std::string(option) + " " + value + ": " + expected);
}

[[noreturn]] void refuse_unknown(const std::string& word) {
    refuse("unknown option '" + word + "' (romwright's own words go after --; see romwright-sim --help)");
}

// Decimal digits only, at most max.
std::optional<uint32_t> decimal(const std::string& text, uint32_t max) {
    if (text.empty())
        return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<uint32_t>(c - '0');
        if (v > max)
            return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

// Milliseconds with up to three decimals ("5", "0.5") as microseconds.
std::optional<uint32_t> millis_as_us(const std::string& text, uint32_t max_ms) {
    const size_t dot = text.find('.');
    const std::optional<uint32_t> ms = decimal(text.substr(0, dot), max_ms);
    std::optional<uint32_t> part = 0;
    if (dot != std::string::npos) {
        std::string frac = text.substr(dot + 1);
        part = frac.empty() || frac.size() > 3 ? std::nullopt : decimal(frac.append(3 - frac.size(), '0'), 999);
    }
    if (!ms || !part || (*ms == max_ms && *part != 0))
        return std::nullopt;
    return *ms * 1000 + *part;
}

// "[DDDD:]BB:SS.F" in hexadecimal as a function of the simulated host.
std::optional<pci_function> device_address(const std::string& text) {
    pci_function fn{0, 0, 0, 0, SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID, ""};
    if (!parse_function_address(text, &fn))
        return std::nullopt;
    return fn;
}

// --device ADDR[=FILE]: a function of the simulated host, with an EEPROM
// file of its own after '='.
void add_device(sim_config& c, const std::string& arg) {
    const size_t eq = arg.find('=');
    const std::optional<pci_function> fn = device_address(arg.substr(0, eq));
    if (!fn)
        refuse_value("--device", arg, "expected [DDDD:]BB:SS.F[=FILE], the address in hexadecimal");
    if (eq != std::string::npos && eq + 1 == arg.size())
        refuse_value("--device", arg, "expected a file name after '='");
    // A function listed twice would make every -b naming it ambiguous.
    for (const pci_function& d : c.devices)
        if (same_function(d, *fn))
            refuse_value("--device", arg,
                         "PCI function " + function_address(*fn) +
                             " is already on the simulated host (each --device adds another function)");
    c.devices.push_back(*fn);
    c.device_files.resize(c.devices.size() - 1);
    c.device_files.push_back(eq == std::string::npos ? "" : arg.substr(eq + 1));
}

// --raise SIG:N: any signal that romwright defers while it holds the
// adapter, after the Nth word write.
void set_raise(sim_config& c, const std::string& arg) {
    const size_t colon = arg.find(':');
    const int sig = colon == std::string::npos ? 0 : deferred_signal_number(arg.substr(0, colon).c_str());
    const std::optional<uint32_t> count = sig ? decimal(arg.substr(colon + 1), 0xFFFFFFFFu) : std::nullopt;
    if (!count || *count == 0)
        refuse_value("--raise", arg,
                     "expected SIG:N, SIG one of " + deferred_signal_names() + " and N a word count from 1");
    c.raise_signal = sig;
    c.raise_after = *count;
}

// A name as the kernel's driver folders carry it.
void set_driver(sim_config& c, const std::string& arg) {
    const bool ok = !arg.empty() && std::isalnum(static_cast<unsigned char>(arg[0])) &&
                    arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.") ==
                        std::string::npos;
    if (!ok)
        refuse_value("--driver", arg,
                     "expected a driver name of letters, digits, '_', '-' and '.', beginning with a letter or digit");
    c.driver = arg;
}

// The answer to --help: every option as registered, its value's name and
// its description wrapped at 79 columns.
std::string help_of(const CLI::App& app) {
    std::string text =
        "Usage: romwright-sim [SIM-OPTION ...] -- [ROMWRIGHT-WORD ...]\n"
        "\n"
        "Runs romwright on a simulated adapter.\n"
        "\n";
    constexpr size_t indent = 23, width = 79;
    for (const CLI::Option* o : app.get_options()) {
        std::string name = o->get_name();  // the long name
        if (!o->get_option_text().empty())
            name += " " + o->get_option_text();
        std::string line = "  " + name;
        line.append(line.size() + 1 < indent ? indent - line.size() : 1, ' ');
        // The description's words, as many on a line as fit.
        const std::string& help = o->get_description();
        bool first = true;  // of its line
        for (size_t p = 0; p < help.size();) {
            size_t end = help.find(' ', p);
            if (end == std::string::npos)
                end = help.size();
            const std::string word = help.substr(p, end - p);
            if (!first && line.size() + 1 + word.size() > width) {
                text += line + "\n";
                line = std::string(indent, ' ');
                first = true;
            }
            line += first ? "" : " ";
            line += word;
            first = false;
            p = end + 1;
        }
        text += line + "\n";
    }
    return text + "\nExit status: romwright's own; 2 for a problem of the simulator itself.\n";
}

}  // namespace

sim_command_line parse_sim_command_line(int argc, char** argv) {
    sim_command_line line;
    sim_config& c = line.config;
    CLI::App app{"Runs romwright on a simulated adapter.", "romwright-sim"};
    app.set_help_flag();  // answered in its place among the options, below
    // "--" and romwright's words after it are left as they are, and so is
    // an unknown word, reported in its place.
    app.prefix_command();

    // Every option acts where it stands, so that the first problem on the
    // command line is the one reported.  An option is a word of its own and
    // its value the next word, whatever that holds: "--name=value" and
    // "-hvalue" are unknown words.
    int at = 1;  // the word of the option that acts
    const auto in_place = [&app, &at, argv](int words) {
        if (app.remaining_size() > 0)
            refuse_unknown(app.remaining().front());
        if (!app.get_option_no_throw(argv[at]))
            refuse_unknown(argv[at]);
        at += words;
    };
    const auto flag = [&](const char* names, const char* help, std::function<void()> set) {
        app.add_flag(names)->description(help)->trigger_on_parse()->each([=](const std::string&) {
            in_place(1);
            set();
        });
    };
    const auto option = [&](const char* name, const char* value, const char* help,
                            std::function<void(const std::string&)> set) {
        app.add_option(name)->description(help)->option_text(value)->trigger_on_parse()->each([=](const std::string& v) {
            in_place(2);
            set(v);
        });
    };

    // In the order --help lists them.
    option("--eeprom", "FILE",
           "the EEPROM: 32768 bytes in EEPROM address order; every word written reaches FILE at once; a missing "
           "FILE is created holding the sample board (default: in memory)",
           [&](const std::string& v) {
               if (v.empty())
                   refuse("--eeprom needs a file name (without --eeprom the EEPROM is kept in memory)");
               c.eeprom_path = v;
           });
    flag("--blank", "a new EEPROM starts as 32768 bytes of 0xFF", [&] { c.blank = true; });
    option("--device", "ADDR[=FILE]",
           "a PCI function [DDDD:]BB:SS.F present on the simulated host (repeatable; default 0000:04:00.0); with "
           "=FILE it has an EEPROM of its own in FILE (created holding the sample board when missing), else it "
           "shares --eeprom",
           [&](const std::string& v) { add_device(c, v); });
    flag("--real-time",
         "transfer latency and write cycles pass on the host's clock (default: a virtual clock)",
         [&] { c.real_clock = true; });
    option("--write-cycle-ms", "N",
           "virtual length of one EEPROM write cycle (default 5; up to three decimals, e.g. 0.5)",
           [&](const std::string& v) {
               const std::optional<uint32_t> us = millis_as_us(v, 600000);
               if (!us)
                   refuse_value("--write-cycle-ms", v,
                                "expected milliseconds, 0 to 600000, with up to three decimals");
               c.write_cycle_us = *us;
           });
    flag("--write-protect", "the EEPROM ignores the data of every write", [&] { c.write_protect = true; });
    option("--stall", "vpd|status", "the VPD flag never changes / the status word stays busy",
           [&](const std::string& v) {
               if (v != "vpd" && v != "status")
                   refuse_value("--stall", v, "expected vpd or status");
               (v == "vpd" ? c.stall_vpd : c.stall_status) = true;
           });
    flag("--frozen", "registers read all ones, writes are dropped", [&] { c.frozen = true; });
    option("--trace", "FILE", "append one line per register access",
           [&](const std::string& v) { c.trace_path = v; });
    option("--raise", "SIG:N",
           "send SIG (INT, TERM, HUP, QUIT, USR1, USR2, ALRM, VTALRM, PROF, XCPU, XFSZ, IO, PWR, STKFLT) after "
           "the Nth word write",
           [&](const std::string& v) { set_raise(c, v); });
    option("--power-loss", "N",
           "end the whole process at once right after the Nth EEPROM word write, as a power cut would (exit "
           "status 137)",
           [&](const std::string& v) {
               const std::optional<uint32_t> n = decimal(v, 0xFFFFFFFFu);
               if (!n || *n == 0)
                   refuse_value("--power-loss", v, "expected a word count from 1");
               c.power_loss_after = *n;
           });
    option("--vpd-us", "N",
           "the VPD flag answers N virtual microseconds after each request (default 0: at the first poll)",
           [&](const std::string& v) {
               const std::optional<uint32_t> us = decimal(v, 1000000);
               if (!us)
                   refuse_value("--vpd-us", v, "expected microseconds, 0 to 1000000");
               c.vpd_us = *us;
           });
    option("--backup-dir", "DIR",
           "keep backups of the EEPROM in DIR (default: backups/ beside the --eeprom FILE; none for an in-memory "
           "EEPROM)",
           [&](const std::string& v) { c.backup_dir = v; });
    flag("--stats",
         "at exit, print register and EEPROM access counts and the virtual time elapsed on standard error",
         [&] { c.stats = true; });
    flag("--memory-off", "the functions' memory decoding is off", [&] { c.memory_off = true; });
    option("--driver", "NAME",
           "kernel driver NAME is bound to the functions: mapping their registers is refused, as a kernel built "
           "with STRICT_DEVMEM and IO_STRICT_DEVMEM refuses it",
           [&](const std::string& v) { set_driver(c, v); });
    option("--lockdown", "MODE",
           "the kernel's lockdown mode: none, integrity or confidentiality (the last two close /dev/mem)",
           [&](const std::string& v) {
               if (v != "none" && v != "integrity" && v != "confidentiality")
                   refuse_value("--lockdown", v, "expected none, integrity or confidentiality");
               c.lockdown = v;
           });
    option("--serve", "SOCKET",
           "answer the register accesses of a device elsewhere (a virtual machine's) over the UNIX socket "
           "SOCKET, on the host's clock, instead of running romwright",
           [&](const std::string& v) { c.serve_path = v; });
    flag("-h,--help", "this text", [] { throw CLI::CallForHelp(); });
    flag("--version", "print the version", [] { throw CLI::CallForVersion("romwright-sim " ROMWRIGHT_VERSION, 0); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        line.help = true;
        line.help_text = help_of(app);
        return line;
    } catch (const CLI::CallForVersion& v) {
        line.help = true;
        line.help_text = std::string(v.what()) + "\n";
        return line;
    } catch (const CLI::ArgumentMismatch&) {
        // The last word is an option that takes a value.
        in_place(0);
        refuse(std::string(argv[at]) + " needs an argument");
    }
    const std::vector<std::string> rest = app.remaining();
    if (!rest.empty() && rest.front() != "--")
        refuse_unknown(rest.front());
    if (!rest.empty())
        line.words.assign(rest.begin() + 1, rest.end());
    // The program runs where the client is, not here.
    if (!c.serve_path.empty() && !line.words.empty())
        refuse("--serve takes no romwright words: the program runs in the client's machine");
    return line;
}
