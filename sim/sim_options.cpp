// romwright-sim's own command line.
#include "sim/sim_options.h"

#include <cctype>
#include <functional>
#include <optional>

#include <CLI/CLI.hpp>

#include "adapter/adapter.h"
#include "common/error.h"

const char* sim_usage_text() {
    return "Usage: romwright-sim [SIM-OPTION ...] -- [ROMWRIGHT-WORD ...]\n"
           "\n"
           "Runs romwright on a simulated adapter.\n"
           "\n"
           "  --eeprom FILE        the EEPROM: 32768 bytes in EEPROM address order; every\n"
           "                       word written reaches FILE at once; a missing FILE is\n"
           "                       created holding the sample board (default: in memory)\n"
           "  --blank              a new EEPROM starts as 32768 bytes of 0xFF\n"
           "  --device ADDR[=FILE] a PCI function [DDDD:]BB:SS.F present on the simulated\n"
           "                       host (repeatable; default 0000:04:00.0); with =FILE it\n"
           "                       has an EEPROM of its own in FILE (created holding the\n"
           "                       sample board when missing), else it shares --eeprom\n"
           "  --real-time          transfer latency and write cycles pass on the host's\n"
           "                       clock (default: a virtual clock)\n"
           "  --write-cycle-ms N   virtual length of one EEPROM write cycle (default 5;\n"
           "                       up to three decimals, e.g. 0.5)\n"
           "  --write-protect      the EEPROM ignores the data of every write\n"
           "  --stall vpd|status   the VPD flag never changes / the status word stays busy\n"
           "  --frozen             registers read all ones, writes are dropped\n"
           "  --trace FILE         append one line per register access\n"
           "  --raise SIG:N        send SIG (INT, TERM, HUP, QUIT, USR1, USR2, ALRM, VTALRM,\n"
           "                       PROF, XCPU, XFSZ, IO, PWR, STKFLT) after the Nth word write\n"
           "  --power-loss N       end the whole process at once right after the Nth EEPROM\n"
           "                       word write, as a power cut would (exit status 137)\n"
           "  --vpd-us N           the VPD flag answers N virtual microseconds after each\n"
           "                       request (default 0: at the first poll)\n"
           "  --backup-dir DIR     keep backups of the EEPROM in DIR (default: backups/\n"
           "                       beside the --eeprom FILE; none for an in-memory EEPROM)\n"
           "  --stats              at exit, print register and EEPROM access counts and the\n"
           "                       virtual time elapsed on standard error\n"
           "  --memory-off         the functions' memory decoding is off\n"
           "  --driver NAME        kernel driver NAME is bound to the functions: mapping\n"
           "                       their registers is refused, as a kernel built with\n"
           "                       STRICT_DEVMEM and IO_STRICT_DEVMEM refuses it\n"
           "  --lockdown MODE      the kernel's lockdown mode: none, integrity or\n"
           "                       confidentiality (the last two close /dev/mem)\n"
           "  --serve SOCKET       answer the register accesses of a device elsewhere (a\n"
           "                       virtual machine's) over the UNIX socket SOCKET, on the\n"
           "                       host's clock, instead of running romwright\n"
           "  --help               this text\n"
           "\n"
           "Exit status: romwright's own; 2 for a problem of the simulator itself.\n";
}

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

// Hexadecimal digits from p on, up to the first other character; nullopt
// when there is none or the value exceeds max.
std::optional<uint32_t> hex_field(const char*& p, uint32_t max) {
    const char* start = p;
    uint32_t v = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        v = (v << 4) | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (v > max)
            return std::nullopt;
    }
    if (p == start)
        return std::nullopt;
    return v;
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
    uint32_t n[4];
    int count = 0;
    const char* p = text.c_str();
    // Up to three fields before the '.': [domain:]bus:slot.
    std::optional<uint32_t> field = hex_field(p, 0xFFFF);
    while (field) {
        n[count++] = *field;
        if (*p != ':' || count == 3)
            break;
        ++p;
        field = hex_field(p, 0xFFFF);
    }
    if (!field || *p != '.' || count < 2)
        return std::nullopt;
    ++p;
    const std::optional<uint32_t> func = hex_field(p, 7);
    if (!func || *p)
        return std::nullopt;
    const uint32_t domain = count == 3 ? n[0] : 0;
    const uint32_t bus = n[count - 2], slot = n[count - 1];
    if (bus > 0xFF || slot > 0x1F)
        return std::nullopt;
    return pci_function{domain, static_cast<uint8_t>(bus), static_cast<uint8_t>(slot), static_cast<uint8_t>(*func),
                        SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID, ""};
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
    const auto flag = [&](const char* names, std::function<void()> set) {
        app.add_flag(names)->trigger_on_parse()->each([=](const std::string&) {
            in_place(1);
            set();
        });
    };
    const auto option = [&](const char* name, std::function<void(const std::string&)> set) {
        app.add_option(name)->trigger_on_parse()->each([=](const std::string& value) {
            in_place(2);
            set(value);
        });
    };

    flag("-h,--help", [] { throw CLI::CallForHelp(); });
    flag("--blank", [&] { c.blank = true; });
    flag("--write-protect", [&] { c.write_protect = true; });
    flag("--frozen", [&] { c.frozen = true; });
    flag("--stats", [&] { c.stats = true; });
    flag("--real-time", [&] { c.real_clock = true; });
    flag("--memory-off", [&] { c.memory_off = true; });
    option("--backup-dir", [&](const std::string& v) { c.backup_dir = v; });
    option("--serve", [&](const std::string& v) { c.serve_path = v; });
    option("--trace", [&](const std::string& v) { c.trace_path = v; });
    option("--eeprom", [&](const std::string& v) {
        if (v.empty())
            refuse("--eeprom needs a file name (without --eeprom the EEPROM is kept in memory)");
        c.eeprom_path = v;
    });
    option("--device", [&](const std::string& v) { add_device(c, v); });
    option("--raise", [&](const std::string& v) { set_raise(c, v); });
    option("--driver", [&](const std::string& v) { set_driver(c, v); });
    option("--lockdown", [&](const std::string& v) {
        if (v != "none" && v != "integrity" && v != "confidentiality")
            refuse_value("--lockdown", v, "expected none, integrity or confidentiality");
        c.lockdown = v;
    });
    option("--stall", [&](const std::string& v) {
        if (v != "vpd" && v != "status")
            refuse_value("--stall", v, "expected vpd or status");
        (v == "vpd" ? c.stall_vpd : c.stall_status) = true;
    });
    option("--vpd-us", [&](const std::string& v) {
        const std::optional<uint32_t> us = decimal(v, 1000000);
        if (!us)
            refuse_value("--vpd-us", v, "expected microseconds, 0 to 1000000");
        c.vpd_us = *us;
    });
    option("--write-cycle-ms", [&](const std::string& v) {
        const std::optional<uint32_t> us = millis_as_us(v, 600000);
        if (!us)
            refuse_value("--write-cycle-ms", v, "expected milliseconds, 0 to 600000, with up to three decimals");
        c.write_cycle_us = *us;
    });
    option("--power-loss", [&](const std::string& v) {
        const std::optional<uint32_t> n = decimal(v, 0xFFFFFFFFu);
        if (!n || *n == 0)
            refuse_value("--power-loss", v, "expected a word count from 1");
        c.power_loss_after = *n;
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        line.help = true;
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
