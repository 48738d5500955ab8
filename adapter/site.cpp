// What is read from a site, for every platform.
#include "adapter/site.h"

#include <sys/stat.h>

#include <cstring>

#include "adapter/pci_address.h"
#include "common/error.h"
#include "common/file_ptr.h"

std::string eeprom_name(const site& where, const pci_function& fn) {
    for (const named_eeprom& e : where.eeprom_names)
        if (same_function(e.fn, fn))
            return e.name;
    return slot_address(fn);
}

std::string slot_state_path(const site& where, const pci_function& fn) {
    return where.sysfs_root + "/devices/" + function_address(fn) + "/eeh_pe_state";
}

std::string kernel_vpd_path(const site& where, const pci_function& fn) {
    return where.sysfs_root + "/devices/" + function_address(fn) + "/vpd";
}

// POWER kernels publish each function's EEH state in sysfs; other hosts have
// no such file.
std::optional<std::string> slot_state(const site& where, const pci_function& fn) {
    if (!where.slot_state.empty())
        return where.slot_state;
    file_ptr fp(std::fopen(slot_state_path(where, fn).c_str(), "r"));
    char line[128];
    if (!fp || !std::fgets(line, sizeof line, fp.get()))
        return std::nullopt;
    return std::string(line, std::strcspn(line, "\n"));
}

// Written into, the host's device-memory file would scatter bytes over
// physical memory: the node itself, or any character device with its
// numbers.
std::string platform_file_named(const site& where, const std::string& path) {
    struct stat file;
    if (stat(path.c_str(), &file) != 0)
        return "";
    for (const platform_file& own : where.platform_files) {
        struct stat st;
        if (stat(own.path.c_str(), &st) != 0)
            continue;
        if ((file.st_dev == st.st_dev && file.st_ino == st.st_ino) ||
            (S_ISCHR(file.st_mode) && S_ISCHR(st.st_mode) && file.st_rdev == st.st_rdev))
            return path == own.path ? own.name : own.alias_name;
    }
    return "";
}
