// The hardware boundary: everything that differs between the real host and
// the simulated adapter sits behind this one ops table (PCI lookup, adapter
// lock, register window, clock, backups, slot state, own files).  Exactly one
// implementation is installed in g_platform before romwright_main() runs:
// platform_host.cpp (libpci, /dev/mem, the wall clock) or
// sim/platform_sim.cpp.  Nothing above dev_read()/dev_write() knows which one
// is in use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct pci_dev_iomem;

// One PCI function as the lookup sees it.
struct pci_function {
    uint32_t domain;
    uint8_t bus;
    uint8_t dev;
    uint8_t func;
    uint64_t base_addr0;  // BAR0 as the scan reports it, flag bits included
    uint16_t vendor_id = 0;  // 0: the scan did not say
    uint16_t device_id = 0;
    std::string driver = std::string();  // the kernel driver bound to it; empty: none
    bool memory_decoding = true;  // the command register's Memory Space bit
};

struct platform_ops {
    const char* name;

    // Lists the host's PCI functions in the order of the host's device list,
    // with their IDs and bound driver.  Returns 0, or -1 with a message in err.
    int (*scan)(std::vector<pci_function>& out, std::string& err);

    // Takes an exclusive, non-blocking lock on the adapter's device (every
    // function of domain:bus:slot shares one EEPROM, so one lock).  Returns a
    // descriptor (>= 0) that holds the lock until closed, -2 when another
    // process holds it, or -1 with a message in err.
    int (*lock)(const pci_function& fn, std::string& err);

    // Maps the 0x40000-byte register window at physical address phys (flag
    // bits cleared) into win.  Returns 0, or -1 with a message in err; on
    // failure no register may be accessed.
    int (*map)(uint64_t phys, pci_dev_iomem& win, std::string& err);
    void (*unmap)(pci_dev_iomem& win);

    // One 32-bit register access at a 4-byte-aligned window offset; the
    // value is the register's numeric value as a host integer.
    uint32_t (*read32)(const pci_dev_iomem& win, uint32_t offset);
    void (*write32)(const pci_dev_iomem& win, uint32_t offset, uint32_t value);

    // Microseconds of the platform's clock (wall clock on the host, virtual
    // in the simulator).
    int64_t (*clock_us)();

    // The folder in which backups of the EEPROM are kept, created when
    // missing; nullptr when this platform keeps none unless told where.
    const char* (*backup_dir)();

    // Asked when fn's registers read all ones: the state the platform's
    // error handling (EEH on POWER) reports for fn's slot.  Sets path to the
    // file it comes from and state to its first line ("0x%08x 0x%08x": the
    // state flags, then the PE flags, bit 0 of which is "isolated", i.e.
    // frozen) and returns true; false (or a nullptr op) when the platform
    // reports none.
    bool (*slot_state)(const pci_function& fn, std::string& path, std::string& state);

    // True when path names a file the platform itself works on (the host's
    // device-memory file, the simulator's EEPROM file), compared by device
    // and inode; what then describes it.  A file that does not exist is no
    // such file.  Nothing may be written into one.
    bool (*own_file)(const char* path, std::string& what);
};

extern const platform_ops* g_platform;

// Whole seconds of the platform clock.
inline int64_t platform_seconds() { return g_platform->clock_us() / 1000000; }
