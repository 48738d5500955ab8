// The hardware seam: the primitives that differ between the real host and
// the simulated adapter (PCI scan, register window, register access, the
// kernel's VPD file, clock, sleep) and nothing else.  Exactly two implementations:
// host/platform_host.cpp (libpci, /dev/mem, the wall clock) and
// sim/platform_sim.cpp.  Where a platform keeps its files and what its
// kernel allows is no part of the seam: that is its site (adapter/site.h),
// one value given beside it.  Everything else (the adapter lock, address
// parsing, slot state, what a refused /dev/mem says) is written once above
// this seam, and nothing above the register accessors knows which platform
// is in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

struct site;  // adapter/site.h

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

// Where the device-memory file failed: opening it, or mapping a window.
enum class devmem_step { open, map };
// Why the device-memory file gave no window: the step and its errno.
struct devmem_refusal {
    devmem_step step;
    int err;
};
// A mapped window, or why there is none.
using mapped_window = std::variant<std::unique_ptr<register_window>, devmem_refusal>;

// Where a function's kernel VPD file failed: opening it (ENOENT: no such
// file), or reading it.
enum class vpd_file_step { open, read };
// Why the kernel's VPD file gave no bytes: the step and its errno.
struct vpd_file_refusal {
    vpd_file_step step;
    int err;
};
// The kernel's VPD file's bytes, or why there are none.
using vpd_file = std::variant<std::vector<uint8_t>, vpd_file_refusal>;
// The VPD space's size: no VPD file holds more.
constexpr size_t VPD_FILE_MAX = 0x8000;

// The host's clock as the platforms read it: microseconds of the wall
// clock as it stood when the clock was made, carried on by the monotonic
// clock, so that a step of the wall clock moves neither a wait's bound
// nor a sleep; sleeps end at an absolute time of the monotonic clock.
class host_clock {
public:
    host_clock();
    int64_t now_us() const;
    // Returns once now_us() has reached deadline_us (at once when it has).
    void sleep_until_us(int64_t deadline_us) const;

private:
    int64_t offset_us_;  // the wall clock less the monotonic clock
};

// Sleeps of the calling thread, and of the threads it starts later, end
// within a microsecond of their time instead of the kernel's default slack
// of 50 us, which would lengthen every short wait.
void use_fine_timer_slack();

class platform {
public:
    // Sets the fine timer slack (use_fine_timer_slack).
    platform();
    virtual ~platform() = default;
    platform(const platform&) = delete;
    platform& operator=(const platform&) = delete;

    // The host's PCI functions in the order of the host's device list, with
    // their IDs, bound driver and memory decoding.  Throws failure.
    virtual std::vector<pci_function> scan() = 0;

    // Maps fn's 0x40000-byte register window (BAR0, flag bits cleared), or
    // says which step of the device-memory file failed; no register may be
    // accessed then.
    virtual mapped_window map(const pci_function& fn) = 0;

    // fn's VPD as the kernel reads it through the function's VPD
    // capability, serialised with the kernel's own accesses, whatever driver
    // is bound and whatever the lockdown: the kernel's VPD file
    // (kernel_vpd_path(where, fn) on the host), opened once and read once,
    // at most VPD_FILE_MAX bytes.  No register is touched.  Never throws for
    // the file's sake.
    virtual vpd_file read_vpd_file(const site& where, const pci_function& fn) = 0;

    // Microseconds of the clock a session on fn waits by: the host's clock
    // (host_clock), or the virtual clock of fn's simulated adapter.
    virtual int64_t clock_us(const pci_function& fn) = 0;
    // Lets that clock reach deadline_us without spinning a core (returning
    // at once when it has); false when the clock passes only with register
    // accesses (a virtual clock), so that waiting means polling.
    virtual bool sleep_until_us(const pci_function& fn, int64_t deadline_us) = 0;
};

