// Adapter access: lookup, register window, config-space backdoor, EEPROM
// word port and chip control.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/platform.h"
#include "common/exit_status.h"

// Register offsets in the adapter's BAR0 window.  Every register is 32 bits,
// little-endian, accessed whole at a 4-byte-aligned offset.
enum : uint32_t {
    VPD_TIMER = 0x3018,            // bits 16-31 cleared: VPD timer off
    PCIE_CFG_SPACE_REQ = 0x3060,   // config offset | g_req_mask selects a dword
    PCIE_CFG_SPACE_DATA = 0x3064,  // reads/writes the selected config dword
    UP_RESET = 0x7B00,             // bit 0 holds the microprocessor in reset
    FULLCHIP_RESET = 0x19428,      // writing 3 resets the whole chip
};

constexpr uint32_t REGISTER_WINDOW_SIZE = 0x40000;

// Configuration-space dwords of the VPD capability.
enum : uint32_t {
    VPD_CAP_ADDR = 0xD0,  // VPD address in bits 16-30, flag in bit 31
    VPD_CAP_DATA = 0xD4,  // one EEPROM data word
};
constexpr uint32_t VPD_FLAG = 0x80000000u;

// The register window record: one per process, zero before the lookup.
struct pci_dev_iomem {
    int32_t fd;
    void* base;
};
extern pci_dev_iomem g_pci_dev_iomem;
// The PCI function the lookup found (all zero before), named when its slot
// stops answering.
extern pci_function g_adapter_function;

// ---- lookup and window --------------------------------------------------

// The adapter address given with -b; without a domain, every domain matches.
struct adapter_address {
    bool has_domain;
    uint32_t domain;
    int32_t bus;
    int32_t slot;
    int32_t function;
};

// Returns the functions of list that match addr, in list order.
std::vector<pci_function> match_pci_functions(const std::vector<pci_function>& list,
                                              const adapter_address& addr);

// BAR0's physical address with its four flag bits cleared, full 64-bit width.
inline uint64_t bar0_physical(uint64_t base_addr0) { return base_addr0 & ~uint64_t{0xF}; }

// Scans the PCI functions and counts those at addr.  With exactly one match
// it takes the adapter lock and maps the window, then returns 1.  Returns 0
// (nothing mapped, nothing printed) when none matches.  Throws exit_error
// (status 1) when several match, when the match has no memory BAR0 or its
// memory decoding is off, when the adapter is locked by another run, or
// when the window cannot be mapped; no register is touched then.
int dev_find_n_map(const adapter_address& addr);

// The function that the last successful dev_find_n_map() mapped.
const pci_function& mapped_function();

void map_dev_ioregion_create(uint64_t phys);  // throws exit_error(1) on failure
void map_dev_ioregion_destroy();                // releases window and lock; idempotent
void release_adapter_lock();                    // idempotent

// Register access through the window: exactly one 32-bit access each, at the
// offset rounded down to a multiple of 4.
inline void dev_read(uint32_t offset, uint32_t* value_out) {
    *value_out = g_platform->read32(g_pci_dev_iomem, offset & ~3u);
}
inline void dev_write(uint32_t offset, uint32_t value) {
    g_platform->write32(g_pci_dev_iomem, offset & ~3u, value);
}

// ---- config-space backdoor and EEPROM word port ------------------------

extern uint32_t g_req_mask;  // 0x4F000000

void write_pci(uint32_t offset, uint32_t value);
uint32_t read_pci(uint32_t offset);

// Polls VPD_CAP_ADDR until its flag differs from `flag`.  Gives up after at
// least 2 s of the platform clock, and at once when the capability reads all
// ones (a frozen or vanished slot): throws exit_error(1) naming the EEPROM
// address.
void wait_vpd_cap_not_busy(uint32_t flag, uint32_t eeprom_address);

// EEPROM address -> VPD address (rotation by 0x400 bytes).
uint32_t remap_se_addr(uint32_t address);

// The EEPROM word at a 4-byte-aligned EEPROM address: byte A in bits 0-7.
uint32_t se_read(uint32_t address);
// Writes one word and returns once the EEPROM's status word reads idle.
// EEPROM address 0x7FFC (the status word) is never written.
void se_write(uint32_t address, uint32_t word);

constexpr uint32_t SE_STATUS_ADDR = 0x7FFC;
constexpr int64_t SE_WAIT_LIMIT_US = 2000000;  // bound of both waits

// ---- chip control -------------------------------------------------------

void assert_reset_up();
void deassert_reset_up();  // release, then full chip reset with its message
void do_fullchip_reset();
void disable_vpd_timer();

// Holds the microprocessor in reset for the lifetime of the object, and
// defers meanwhile every asynchronous signal whose default action ends the
// process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, ...,
// the real-time signals; SIGPIPE is ignored), so that a transfer is never
// cut short.  release() (or the destructor, on an early exit) lets the
// microprocessor run again, resets the chip and restores the signals.
//
// Held work that can throw goes through run(), so that its error is printed
// before the chip reset line of the release:
//     up_reset_hold hold;
//     int r = hold.run([&] { return write_seeprom(buf, first, count); });
//     ... print the result ...
//     hold.release();
class up_reset_hold {
public:
    up_reset_hold();
    ~up_reset_hold();
    up_reset_hold(const up_reset_hold&) = delete;
    up_reset_hold& operator=(const up_reset_hold&) = delete;
    void release();

    // Returns work()'s result.  When work throws, prints the error's text
    // (exit_error's as it stands, another exception as "ERROR: <what>"),
    // releases the hold, then throws exit_error with the same status (1 for
    // another exception) and an empty text: main prints nothing more.
    template <typename Work>
    auto run(Work&& work) -> decltype(work()) {
        try {
            return work();
        } catch (const exit_error& e) {
            fail(e.status(), e.what());
        } catch (const std::exception& e) {
            fail(EXIT_STATUS_FAILED, std::string("ERROR: ") + e.what() + "\n");
        }
    }

private:
    [[noreturn]] void fail(int status, const std::string& text);
    bool held_;
};

// The first signal deferred while the microprocessor was held, or 0.
int deferred_signal();
void clear_deferred_signal();
// "SIGUSR1", "SIGRTMIN+3": the name of a signal the hold defers ("a signal"
// for any other).
std::string deferred_signal_name(int sig);
// The deferred signal named name without "SIG" ("USR1"), or 0.  Real-time
// signals have no such name.
int deferred_signal_number(const char* name);
// Those names, comma-separated: "HUP, INT, ...".
std::string deferred_signal_names();
