// romwright-sim's own command line.
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "sim/sim_adapter.h"

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

bool parse_hex_field(const char*& p, uint32_t max, uint32_t* out) {
    uint32_t v = 0;
    const char* start = p;
    while (*p) {
        char c = *p;
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0)
            break;
        v = v * 16 + static_cast<uint32_t>(d);
        if (v > max)
            return false;
        ++p;
    }
    *out = v;
    return p != start;
}

bool parse_decimal(const char* text, uint32_t max, uint32_t* out) {
    if (!*text)
        return false;
    uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<uint32_t>(*p - '0');
        if (v > max)
            return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Milliseconds with up to three decimals ("5", "0.5") as microseconds.
bool parse_millis(const char* text, uint32_t max_ms, uint32_t* out_us) {
    const char* dot = std::strchr(text, '.');
    std::string whole(text, dot ? static_cast<size_t>(dot - text) : std::strlen(text));
    std::string frac = dot ? dot + 1 : "";
    if (whole.empty() || (dot && (frac.empty() || frac.size() > 3)))
        return false;
    uint32_t ms = 0, part = 0;
    if (!parse_decimal(whole.c_str(), max_ms, &ms) || (dot && !parse_decimal(frac.c_str(), 999, &part)))
        return false;
    for (size_t i = frac.size(); i < 3; ++i)
        part *= 10;
    if (ms == max_ms && part != 0)
        return false;
    *out_us = ms * 1000 + part;
    return true;
}

}  // namespace

bool sim_parse_device(const char* text, pci_function* out) {
    uint32_t n[4];
    int count = 0;
    const char* p = text;
    // Up to four fields: [domain:]bus:slot.function.
    if (!parse_hex_field(p, 0xFFFF, &n[count++]))
        return false;
    while (*p == ':' && count < 3) {
        ++p;
        if (!parse_hex_field(p, 0xFFFF, &n[count++]))
            return false;
    }
    if (*p != '.' || count < 2)
        return false;
    ++p;
    if (!parse_hex_field(p, 7, &n[count++]) || *p)
        return false;
    uint32_t domain = count == 4 ? n[0] : 0;
    uint32_t bus = n[count - 3], slot = n[count - 2], func = n[count - 1];
    if (bus > 0xFF || slot > 0x1F)
        return false;
    *out = pci_function{domain, static_cast<uint8_t>(bus), static_cast<uint8_t>(slot), static_cast<uint8_t>(func),
                        SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID, ""};
    return true;
}

namespace {

// One row per simulator option: its name, whether it takes the next word,
// and what it sets.  apply returns false with a message in err.
struct sim_option {
    const char* name;
    bool takes_argument;
    bool (*apply)(sim_config& cfg, const char* arg, std::string& err);
};

bool refuse(std::string& err, const char* option, const char* arg, const char* expected) {
    err = std::string("romwright-sim: ") + option + " " + arg + ": " + expected + "\n";
    return false;
}

const sim_option k_sim_options[] = {
    {"--blank", false, [](sim_config& c, const char*, std::string&) { return c.blank = true; }},
    {"--write-protect", false, [](sim_config& c, const char*, std::string&) { return c.write_protect = true; }},
    {"--frozen", false, [](sim_config& c, const char*, std::string&) { return c.frozen = true; }},
    {"--stats", false, [](sim_config& c, const char*, std::string&) { return c.stats = true; }},
    {"--real-time", false, [](sim_config& c, const char*, std::string&) { return c.real_clock = true; }},
    {"--memory-off", false, [](sim_config& c, const char*, std::string&) { return c.memory_off = true; }},
    {"--backup-dir", true,
     [](sim_config& c, const char* arg, std::string&) {
         c.backup_dir = arg;
         return true;
     }},
    {"--serve", true,
     [](sim_config& c, const char* arg, std::string&) {
         c.serve_path = arg;
         return true;
     }},
    {"--trace", true,
     [](sim_config& c, const char* arg, std::string&) {
         c.trace_path = arg;
         return true;
     }},
    {"--driver", true,
     [](sim_config& c, const char* arg, std::string& err) {
         // A name as the kernel's driver folders carry it.
         const char* allowed = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.";
         const bool ok = std::isalnum(static_cast<unsigned char>(*arg)) && std::strspn(arg, allowed) == std::strlen(arg);
         if (!ok)
             return refuse(err, "--driver", arg,
                           "expected a driver name of letters, digits, '_', '-' and '.', beginning with a letter or "
                           "digit");
         c.driver = arg;
         return true;
     }},
    {"--lockdown", true,
     [](sim_config& c, const char* arg, std::string& err) {
         if (std::strcmp(arg, "none") != 0 && std::strcmp(arg, "integrity") != 0 &&
             std::strcmp(arg, "confidentiality") != 0)
             return refuse(err, "--lockdown", arg, "expected none, integrity or confidentiality");
         c.lockdown = arg;
         return true;
     }},
    {"--vpd-us", true,
     [](sim_config& c, const char* arg, std::string& err) {
         return parse_decimal(arg, 1000000, &c.vpd_us) ||
                refuse(err, "--vpd-us", arg, "expected microseconds, 0 to 1000000");
     }},
    {"--eeprom", true,
     [](sim_config& c, const char* arg, std::string& err) {
         if (!*arg) {
             err = "romwright-sim: --eeprom needs a file name (without --eeprom the EEPROM is kept in memory)\n";
             return false;
         }
         c.eeprom_path = arg;
         return true;
     }},
    {"--device", true,
     [](sim_config& c, const char* arg, std::string& err) {
         // ADDR=FILE: the function has an EEPROM file of its own.
         const char* eq = std::strchr(arg, '=');
         const std::string address = eq ? std::string(arg, eq) : std::string(arg);
         pci_function fn;
         if (!sim_parse_device(address.c_str(), &fn))
             return refuse(err, "--device", arg, "expected [DDDD:]BB:SS.F[=FILE], the address in hexadecimal");
         if (eq && !eq[1])
             return refuse(err, "--device", arg, "expected a file name after '='");
         // A function listed twice would make every -b naming it ambiguous.
         for (const pci_function& d : c.devices)
             if (d.domain == fn.domain && d.bus == fn.bus && d.dev == fn.dev && d.func == fn.func) {
                 char name[16];
                 std::snprintf(name, sizeof name, "%04x:%02x:%02x.%x", fn.domain, fn.bus, fn.dev, fn.func);
                 return refuse(err, "--device", arg,
                               (std::string("PCI function ") + name +
                                " is already on the simulated host (each --device adds another function)")
                                   .c_str());
             }
         c.devices.push_back(fn);
         c.device_files.resize(c.devices.size() - 1);
         c.device_files.push_back(eq ? eq + 1 : "");
         return true;
     }},
    {"--write-cycle-ms", true,
     [](sim_config& c, const char* arg, std::string& err) {
         return parse_millis(arg, 600000, &c.write_cycle_us) ||
                refuse(err, "--write-cycle-ms", arg, "expected milliseconds, 0 to 600000, with up to three decimals");
     }},
    {"--stall", true,
     [](sim_config& c, const char* arg, std::string& err) {
         if (std::strcmp(arg, "vpd") == 0)
             return c.stall_vpd = true;
         if (std::strcmp(arg, "status") == 0)
             return c.stall_status = true;
         return refuse(err, "--stall", arg, "expected vpd or status");
     }},
    {"--raise", true,
     [](sim_config& c, const char* arg, std::string& err) {
         // SIG: any signal that romwright defers while it holds the adapter.
         const char* colon = std::strchr(arg, ':');
         const int sig = colon ? deferred_signal_number(std::string(arg, colon).c_str()) : 0;
         uint32_t count = 0;
         if (!sig || !parse_decimal(colon + 1, 0xFFFFFFFFu, &count) || count == 0)
             return refuse(err, "--raise", arg,
                           ("expected SIG:N, SIG one of " + std::string(deferred_signal_names()) +
                            " and N a word count from 1")
                               .c_str());
         c.raise_signal = sig;
         c.raise_after = count;
         return true;
     }},
    {"--power-loss", true,
     [](sim_config& c, const char* arg, std::string& err) {
         return (parse_decimal(arg, 0xFFFFFFFFu, &c.power_loss_after) && c.power_loss_after > 0) ||
                refuse(err, "--power-loss", arg, "expected a word count from 1");
     }},
};

}  // namespace

int sim_parse_options(int argc, char** argv, sim_config& cfg, int* first_word, std::string& err) {
    int i = 1;
    for (; i < argc; ++i) {
        const char* opt = argv[i];
        if (std::strcmp(opt, "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(opt, "--help") == 0 || std::strcmp(opt, "-h") == 0)
            return 2;
        const sim_option* o = std::find_if(std::begin(k_sim_options), std::end(k_sim_options),
                                           [&](const sim_option& x) { return std::strcmp(x.name, opt) == 0; });
        if (o == std::end(k_sim_options)) {
            err = std::string("romwright-sim: unknown option '") + opt +
                  "' (romwright's own words go after --; see romwright-sim --help)\n";
            return 1;
        }
        const char* arg = nullptr;
        if (o->takes_argument) {
            if (i + 1 >= argc) {
                err = std::string("romwright-sim: ") + opt + " needs an argument\n";
                return 1;
            }
            arg = argv[++i];
        }
        if (!o->apply(cfg, arg, err))
            return 1;
    }
    *first_word = i;
    return 0;
}
