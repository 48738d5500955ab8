// A platform's site: where it keeps its files and what its kernel allows,
// one value given beside the platform's primitives to everything that
// opens an adapter.  The real program's is host_site()
// (host/platform_host.h); the simulator fills one with its own folders
// (sim_platform::where()).  What is read from it is written once, here and
// in adapter/lookup.cpp, for both platforms.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter/platform.h"

// A function whose EEPROM the platform names itself (the simulator: by the
// file that holds it).
struct named_eeprom {
    pci_function fn;
    std::string name;
};

// A file the platform itself works on (the host's device-memory file, the
// simulator's EEPROM files): nothing may be written into one.
struct platform_file {
    std::string path;
    std::string name;        // what it is, when named by path itself
    std::string alias_name;  // when named by another path to the same file
};

struct site {
    // ---- places
    std::string lock_dir;     // adapter locks (adapter_lock); empty: no lock is taken
    std::string backup_dir;   // backups, created when missing; empty: none
    std::string journal_dir;  // journals of unfinished changes; empty: none
    std::string history_file;   // one JSON record a line per change that reached an adapter; empty: none
    std::string approved_list;  // approved image digests, used when the file exists; empty: none
    // Where each history record also goes, as journal fields ("NAME=value"):
    // the real program's sends them to the systemd journal; nullptr: nowhere
    // (the simulator, tests).
    void (*history_journal)(const std::vector<std::string>& fields) = nullptr;
    std::string sysfs_root = "/sys/bus/pci";  // each function's folder lies in <root>/devices
    std::string devmem = "/dev/mem";          // the device-memory file, as messages name it
    // Every function's EEPROM is its device's (DDDD:BB:SS: its functions
    // share one), unless named here.
    std::vector<named_eeprom> eeprom_names;

    // ---- policy
    // The kernel's lockdown mode ("none", "integrity", "confidentiality");
    // empty when the kernel does not say.
    std::string lockdown;
    // The kernel's refusals are known before a window is mapped (a
    // simulated kernel built with STRICT_DEVMEM): a lockdown mode that
    // closes the device-memory file, or a driver bound to the function,
    // refuses the window as that kernel would.  false: the kernel answers
    // the mapping itself.
    bool refuses_before_mapping = false;
    // The slot state every function reports (a simulated host's); empty:
    // each function's file under sysfs_root says (slot_state_path()).
    std::string slot_state;
    // Files that read must not write into.
    std::vector<platform_file> platform_files;
};

// The name of the EEPROM fn reaches: its entry in where.eeprom_names, else
// its device's "DDDD:BB:SS".
std::string eeprom_name(const site& where, const pci_function& fn);

// The slot-state file of fn under the site's sysfs root:
// <root>/devices/DDDD:BB:SS.F/eeh_pe_state (POWER's EEH state).
std::string slot_state_path(const site& where, const pci_function& fn);
// The kernel's VPD file of fn under the site's sysfs root:
// <root>/devices/DDDD:BB:SS.F/vpd (readable by root only).
std::string kernel_vpd_path(const site& where, const pci_function& fn);

// The slot state the platform reports for fn (the first line of that
// file), or none.
std::optional<std::string> slot_state(const site& where, const pci_function& fn);

// What describes the platform file that path names (compared by device and
// inode, or as a character device by its numbers); empty when it names none
// of the site's.
std::string platform_file_named(const site& where, const std::string& path);
