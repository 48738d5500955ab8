// Adapter access: lookup, the adapter session (lock and register window),
// config-space backdoor, EEPROM word port and chip control.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/pci_address.h"
#include "adapter/platform.h"
#include "adapter/site.h"
#include "common/error.h"
#include "common/observer.h"

// Register offsets in the adapter's BAR0 window.  Every register is 32 bits,
// little-endian, accessed whole at a 4-byte-aligned offset.
enum : uint32_t {
    VPD_TIMER = 0x3018,            // bits 16-31 cleared: VPD timer off
    PCIE_CFG_SPACE_REQ = 0x3060,   // config offset | CFG_REQ_MASK selects a dword
    PCIE_CFG_SPACE_DATA = 0x3064,  // reads/writes the selected config dword
    UP_RESET = 0x7B00,             // bit 0 holds the microprocessor in reset
    FULLCHIP_RESET = 0x19428,      // writing 3 resets the whole chip
};
constexpr uint32_t CFG_REQ_MASK = 0x4F000000;

constexpr uint32_t REGISTER_WINDOW_SIZE = 0x40000;

// Configuration-space dwords of the VPD capability.
enum : uint32_t {
    VPD_CAP_ADDR = 0xD0,  // VPD address in bits 16-30, flag in bit 31
    VPD_CAP_DATA = 0xD4,  // one EEPROM data word
};
constexpr uint32_t VPD_FLAG = 0x80000000u;

// PCI vendor ID of the adapters served, printed when none is found.
constexpr unsigned ADAPTER_VENDOR_ID = 0x1e2c;

// ---- lookup ---------------------------------------------------------------

// BAR0's physical address with its four flag bits cleared, full 64-bit width.
inline uint64_t bar0_physical(uint64_t base_addr0) { return base_addr0 & ~uint64_t{0xF}; }

// ---- the adapter lock -----------------------------------------------------

// An exclusive lock on the EEPROM a function reaches (every function of
// domain:bus:slot shares one, so one lock), held while the object lives:
// "romwright-<eeprom_name()>.lock" in the site's lock folder, which must be
// a real folder (no link) owned by this user that nobody else may write;
// it is created with mode 0700 when missing, and lock files are opened
// without following links.
class adapter_lock {
public:
    enum class outcome { locked, in_use };
    adapter_lock() = default;
    adapter_lock(adapter_lock&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    adapter_lock& operator=(adapter_lock&& o) noexcept;
    adapter_lock(const adapter_lock&) = delete;
    adapter_lock& operator=(const adapter_lock&) = delete;
    ~adapter_lock();
    // Tries the lock without waiting.  Throws failure when the folder or
    // the file is not safe or cannot be made.
    static outcome take(const site& where, const pci_function& fn, adapter_lock& out);

private:
    int fd_ = -1;
};

// ---- the adapter session --------------------------------------------------

// How late the sleeps of one thread wake after their deadline: a running
// estimate of the median lateness.  A sleep that ends that much before
// the answer is due wakes just before it half of the time, and polls for
// the few microseconds left, or just after it, and finds it waiting: the
// median keeps the time spent polling and the time lost together least.
// The first wake-ups give their exact median, so that one held up at the
// start does not set the lead for the thousands after it; from then on
// the lead moves half a microsecond a wake-up.
class wake_lateness {
public:
    // One wake-up, late_us after its deadline.
    void add(int64_t late_us);
    // What a sleep's deadline leaves out (microseconds; 0 before any
    // wake-up).
    int64_t lead_us() const { return lead_ < 0 ? 0 : lead_ / k_unit; }

private:
    static constexpr int64_t k_unit = 64;  // lead_ counts 1/64 us
    static constexpr int k_first = 15;
    int64_t lead_ = -1;                    // -1: no wake-up yet
    int seen_ = 0;                         // wake-ups counted, up to k_first
    std::array<int64_t, k_first> first_{}; // the first ones, least late first
};

// One adapter opened for one command: the platform it runs on and its
// site, its lock, its mapped register window and the function; every path
// out of it releases them.  Register access: exactly one 32-bit load or
// store each, at the offset rounded down to a multiple of 4.
class adapter_session {
public:
    adapter_session(platform& p, site where, const pci_function& fn, adapter_lock lock,
                    std::unique_ptr<register_window> win, observer& obs)
        : platform_(p), where_(std::move(where)), fn_(fn), lock_(std::move(lock)), win_(std::move(win)), obs_(obs) {}
    // Puts the VPD timer back as it was found (see disable_vpd_timer()).
    ~adapter_session();
    adapter_session(const adapter_session&) = delete;
    adapter_session& operator=(const adapter_session&) = delete;

    uint32_t read(uint32_t offset) { return win_->read32(offset & ~3u); }
    void write(uint32_t offset, uint32_t value) { win_->write32(offset & ~3u, value); }

    platform& host() { return platform_; }
    const site& where() const { return where_; }
    const pci_function& function() const { return fn_; }
    std::string address() const { return function_address(fn_); }
    observer& obs() { return obs_; }
    // How long this adapter's waits took lately (microseconds of its clock)
    // and how late a sleep wakes on this thread: the word port sleeps
    // until just before the next answer is due.
    struct wait_times {
        int64_t read_transfer = 0, write_transfer = 0, write_cycle = 0;
        wake_lateness wakes;
    };
    wait_times& waits() { return waits_; }

    int64_t clock_us() { return platform_.clock_us(fn_); }
    // UTC seconds, for the names and times of backups and journals: the
    // wall clock on the host and on the simulator in real time, the
    // simulator's virtual clock otherwise.
    int64_t seconds() { return platform_.clock_us(fn_) / 1000000; }

    // The first signal a microprocessor hold of this session deferred
    // (up_reset_hold reports it on release), or 0.
    int deferred_signal() const { return deferred_signal_; }
    void note_deferred_signal(int sig) {
        if (deferred_signal_ == 0)
            deferred_signal_ = sig;
    }
    // The VPD timer register as the session found it, kept by
    // disable_vpd_timer(); a chip reset puts it back by itself.
    void vpd_timer_found(uint32_t value) {
        vpd_timer_ = value;
        vpd_timer_kept_ = true;
    }
    void chip_was_reset() { vpd_timer_kept_ = false; }

private:
    platform& platform_;
    site where_;
    pci_function fn_;
    adapter_lock lock_;
    std::unique_ptr<register_window> win_;
    observer& obs_;
    wait_times waits_;
    int deferred_signal_ = 0;
    uint32_t vpd_timer_ = 0;
    bool vpd_timer_kept_ = false;
};

// The failure (1) of device-memory file mem at step, errno err, for fn,
// under a kernel in lockdown mode (site::lockdown): the line that
// names the cause, then why and how to go on.  A locked-down kernel closes
// the file whatever else holds; otherwise a refused mapping (EPERM) names
// the driver bound to fn with the commands that unbind it and bind it back,
// and the kernel parameter that lifts the refusal.  Facts: "devmem_step"
// ("open" or "map") and "errno" (a number).
failure devmem_failure(devmem_step step, const pci_function& fn, const std::string& mem, int err,
                       const std::string& lockdown);

// True for a lockdown mode that closes the device-memory file.
bool closes_devmem(const std::string& lockdown);

// Scans the platform's functions and opens the one at addr: takes its lock
// and maps its window, then turns the VPD timer off.  Throws failure (1)
// when none matches (reason::device_not_found), when several match, when the
// match is not the adapters' vendor's, when it has no memory BAR0 or its
// memory decoding is off, when another run holds the adapter, or when the
// window cannot be mapped (devmem_failure(), with where's lockdown mode);
// no register is touched then.
std::unique_ptr<adapter_session> open_adapter(platform& p, const site& where, const adapter_address& addr,
                                              observer& obs);
// The same for a function already found by a scan: the checks, the lock,
// the window, the VPD timer.
std::unique_ptr<adapter_session> open_function(platform& p, const site& where, const pci_function& fn,
                                               observer& obs);

// The pieces of that lookup, for paths that map no window: the one
// function of the scan at addr (failure (1) when none or several match);
// the refusal of a function that is not the adapters' vendor's; fn's
// adapter lock (failure (1) when another run holds it).
pci_function find_function(platform& p, const adapter_address& addr);
void refuse_foreign_function(const pci_function& fn);
adapter_lock lock_adapter(const site& where, const pci_function& fn);

// ---- the kernel's view of VPD ---------------------------------------------

// Copy 0 of an adapter's VPD as the kernel's VPD file shows it (from its
// start through its end tag), and the function that showed it, with the
// driver bound to it.
struct kernel_vpd {
    pci_function function;
    std::vector<uint8_t> bytes;
};

// Finds the function at addr as open_adapter does, with the same failures
// (none or several match, another vendor's, another run holds the
// adapter), holds its lock while the platform reads its kernel VPD file,
// and returns what the file showed.  No window is mapped and no register
// touched, so the checks that guard a mapping (memory BAR0, memory
// decoding) are not made.  A missing or refused file throws failure (1)
// with the facts "path", "errno" (a number), "reason" and, when one is
// bound, "driver".
kernel_vpd read_kernel_vpd(platform& p, const site& where, const adapter_address& addr);
// The same for a function already found by a scan.
kernel_vpd read_function_kernel_vpd(platform& p, const site& where, const pci_function& fn);

// Where a read of the VPD comes from: the adapter's registers (the
// backdoor through the mapped window) or the kernel's VPD file.
enum class vpd_source { registers, kernel };
// The caller's choice: the source decided here, or one named.
enum class vpd_source_choice { automatic, registers, kernel };
// The source a read of fn's VPD must use: the one the caller named, if
// any; otherwise the kernel's file when the registers are not for this
// program to map: a driver is bound to fn (it holds the registers), the
// lockdown mode (site::lockdown) closes the device-memory file, or the
// window has already been refused (refused); otherwise the registers.
vpd_source choose_vpd_source(vpd_source_choice choice, const pci_function& fn, const std::string& lockdown,
                             const std::optional<devmem_refusal>& refused);

// ---- config-space backdoor and EEPROM word port ------------------------

void write_pci(adapter_session& s, uint32_t offset, uint32_t value);
uint32_t read_pci(adapter_session& s, uint32_t offset);

// Polls VPD_CAP_ADDR until its flag differs from `flag`.  Gives up after at
// least 2 s of the platform clock, and at once when the capability reads all
// ones (a frozen or vanished slot): throws failure naming the EEPROM
// address.
void wait_vpd_cap_not_busy(adapter_session& s, uint32_t flag, uint32_t eeprom_address);

// EEPROM address -> VPD address (rotation by 0x400 bytes).
uint32_t remap_se_addr(uint32_t address);

// The EEPROM word at a 4-byte-aligned EEPROM address: byte A in bits 0-7.
uint32_t se_read(adapter_session& s, uint32_t address);
// Writes one word and returns once the EEPROM's status word reads idle.
// address is never the status word's (STATUS_WORD_ADDR,
// common/eeprom_map.h): the plans that choose the words leave it out
// (eeprom/plan.h, select_words()).
void se_write(adapter_session& s, uint32_t address, uint32_t word);

constexpr int64_t SE_WAIT_LIMIT_US = 2000000;  // bound of both waits

// ---- chip control -------------------------------------------------------

void assert_reset_up(adapter_session& s);
void deassert_reset_up(adapter_session& s);  // release, then full chip reset (told to the observer)
void do_fullchip_reset(adapter_session& s);
// Switches the VPD timer off for the session (bits 16-31 cleared); the
// session puts the value it found back when it ends, unless the chip was
// reset meanwhile (the reset puts the register back itself), so that a
// read-only command or -plan leaves it as found.
void disable_vpd_timer(adapter_session& s);

// Defers, while it lives, the signals that up_reset_hold defers (and
// ignores SIGPIPE): a change's steps from its backup to its commit are not
// cut short by one either.  A signal that arrived is reported to the
// session when the deferral ends (adapter_session::deferred_signal()).
// Nests with up_reset_hold and across threads.
class signal_deferral {
public:
    explicit signal_deferral(adapter_session& s);
    ~signal_deferral();
    signal_deferral(const signal_deferral&) = delete;
    signal_deferral& operator=(const signal_deferral&) = delete;

private:
    adapter_session& s_;
};

// Holds the microprocessor in reset for the lifetime of the object, and
// defers meanwhile every asynchronous signal whose default action ends the
// process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, ...,
// the real-time signals; SIGPIPE is ignored), so that a transfer is never
// cut short.  release() (or the destructor, on an early exit) lets the
// microprocessor run again, resets the chip, restores the signals and
// reports a signal that arrived meanwhile to the session
// (adapter_session::deferred_signal()).  Holds on several sessions at once
// share one deferral: each reports the signal that arrived while it held.
//
// Held work that can throw goes through run(), so that its failure is shown
// before the chip reset of the release:
//     up_reset_hold hold(session);
//     hold.run([&] { write_words(...); });
//     hold.release();
class up_reset_hold {
public:
    explicit up_reset_hold(adapter_session& s);
    ~up_reset_hold();
    up_reset_hold(const up_reset_hold&) = delete;
    up_reset_hold& operator=(const up_reset_hold&) = delete;
    void release();

    // Returns work()'s result.  When work throws, shows the failure (another
    // exception as reason::unexpected),
    // releases the hold, then throws the failure marked as shown.
    template <typename Work>
    auto run(Work&& work) -> decltype(work()) {
        try {
            return work();
        } catch (const failure& e) {
            fail(e);
        } catch (const std::exception& e) {
            fail(failure(error_kind::failed, reason::unexpected).with("what", std::string(e.what())));
        }
    }

private:
    [[noreturn]] void fail(const failure& f);
    adapter_session& s_;
    bool held_;
};

// "SIGUSR1", "SIGRTMIN+3": the name of a signal the hold defers ("a signal"
// for any other).
std::string deferred_signal_name(int sig);
// The deferred signal named name without "SIG" ("USR1"), or 0.  Real-time
// signals have no such name.
int deferred_signal_number(const char* name);
// Those names, comma-separated: "HUP, INT, ...".
std::string deferred_signal_names();
