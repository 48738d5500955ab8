// The hardware boundary: the few primitives that differ between the real
// host and the simulated adapter (PCI scan, register window, register
// access, clock, the slot state the platform reports, and where its files
// live, the kernel's lockdown mode).  Exactly two implementations:
// adapter/platform_host.cpp (libpci, /dev/mem, the wall clock) and
// sim/platform_sim.cpp.  What both share (the adapter lock, address
// parsing, the slot-state path, what a refused /dev/mem says) is written
// once above this seam, and nothing above the register accessors knows
// which platform is in use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// A mapped register window; unmapped when destroyed.  One 32-bit access at
// a 4-byte-aligned offset; the value is the register's numeric value as a
// host integer (byte order is the accessor's business alone).
class register_window {
public:
    virtual ~register_window() = default;
    virtual uint32_t read32(uint32_t offset) = 0;
    virtual void write32(uint32_t offset, uint32_t value) = 0;
};

class platform {
public:
    virtual ~platform() = default;
    virtual const char* name() const = 0;

    // The host's PCI functions in the order of the host's device list, with
    // their IDs, bound driver and memory decoding.  Throws failure.
    virtual std::vector<pci_function> scan() = 0;

    // Maps fn's 0x40000-byte register window (BAR0, flag bits cleared).
    // Throws failure; on failure no register may be accessed.
    virtual std::unique_ptr<register_window> map(const pci_function& fn) = 0;

    // Microseconds of the platform's clock (wall clock on the host, virtual
    // in the simulator unless it runs in real time).
    virtual int64_t clock_us() = 0;
    // The clock a session on fn waits by: the platform's, unless each
    // adapter keeps its own (the simulator's models on virtual time).
    virtual int64_t clock_us(const pci_function& /*fn*/) { return clock_us(); }
    // Lets about us microseconds of that clock pass without spinning a
    // core; false when the clock passes only with register accesses (a
    // virtual clock), so that waiting means polling.
    virtual bool sleep_us(int64_t us) = 0;

    // Where adapter locks live (a folder only this user may write); empty:
    // no lock is taken.
    virtual std::string lock_dir() const = 0;
    // The name of fn's lock file there: one per device (its functions share
    // one EEPROM), "romwright-DDDD:BB:SS.lock".
    virtual std::string lock_name(const pci_function& fn) const;
    // Where backups are kept, created when missing; empty: none.
    virtual std::string backup_dir() const = 0;
    // Where journals of unfinished changes are kept; empty: none.
    virtual std::string journal_dir() const = 0;
    // The root under which each function's sysfs folder lies ("/sys/bus/pci").
    virtual std::string sysfs_root() const = 0;

    // The first line of the platform's slot-state file at path (see
    // slot_state_path()); false when there is none.
    virtual bool read_slot_state(const std::string& path, std::string& state) = 0;

    // The kernel's lockdown mode ("none", "integrity", "confidentiality"),
    // the selected one of the host's /sys/kernel/security/lockdown; empty
    // when the platform does not say.
    virtual std::string lockdown() const = 0;

    // True when path names a file the platform itself works on (the host's
    // device-memory file, the simulator's EEPROM file), compared by device
    // and inode; what then describes it.  Nothing may be written into one.
    virtual bool own_file(const char* path, std::string& what) const = 0;
};

// "DDDD:BB:SS.F"
std::string function_address(const pci_function& fn);
// The slot-state file of fn under the platform's sysfs root:
// <root>/devices/DDDD:BB:SS.F/eeh_pe_state (POWER's EEH state).
std::string slot_state_path(const platform& p, const pci_function& fn);
