// The simulated adapter: a software model of the registers, configuration
// space, VPD capability and 32 KiB EEPROM that romwright relies on, with a
// virtual clock.  It backs romwright-sim, on which an operator can rehearse
// any command, and the tests.
#pragma once

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "adapter/platform.h"
#include "adapter/site.h"
#include "common/file_ptr.h"
#include "sim/sim_registers.h"

constexpr uint32_t SIM_EEPROM_SIZE = 0x8000;
// The errno of a read of a kernel VPD file the kernel could not size: a
// 6.1 kernel that finds 0x00 or 0xFF at VPD address 0 drops the capability
// and every read of the file fails with ENODEV from then on.
constexpr int SIM_VPD_UNSIZED_ERRNO = ENODEV;
constexpr int64_t SIM_CLOCK_START_US = int64_t{1800000000} * 1000000;  // a whole second

struct sim_config {
    std::string eeprom_path;       // empty: an in-memory EEPROM
    bool blank = false;            // a new EEPROM starts as all 0xFF
    std::vector<pci_function> devices;  // empty: one function at 0000:04:00.0
    std::vector<std::string> device_files;  // beside devices: an EEPROM file of its own, or "" to share eeprom_path
    uint32_t write_cycle_us = 5000;  // --write-cycle-ms, in microseconds
    bool write_protect = false;
    bool stall_vpd = false;
    bool stall_status = false;
    bool frozen = false;
    std::string trace_path;        // empty: no trace file
    bool trace_memory = false;     // keep the trace in memory (tests)
    int raise_signal = 0;          // sent to the process after...
    uint32_t raise_after = 0;      // ...this many EEPROM word writes
    uint32_t vpd_us = 0;           // the VPD flag answers this long after a request
    std::string backup_dir;        // empty: backups/ beside eeprom_path, or none (the site's)
    bool stats = false;            // access counts on standard error at exit
    bool memory_off = false;       // the functions' memory decoding is off
    std::string driver;            // the kernel driver bound to every function (empty: none)
    std::string lockdown;          // the kernel's lockdown mode (empty: the kernel says none)
    std::string serve_path;        // --serve: answer a device over this socket
    bool real_clock = false;       // the host's clock instead of the virtual one
    uint32_t power_loss_after = 0; // end the process at once after this many word writes (0: never)
};

// What the adapter has been asked to do since it was opened.
struct sim_counts {
    uint64_t register_reads = 0;
    uint64_t register_writes = 0;
    uint64_t eeprom_words_read = 0;    // data words, status polls apart
    uint64_t status_polls = 0;         // reads of the EEPROM's status word
    uint64_t eeprom_words_written = 0; // write requests the EEPROM took
};

struct sim_access {
    char kind;  // 'R' or 'W'
    uint32_t offset;
    uint32_t value;
    bool operator==(const sim_access& o) const { return kind == o.kind && offset == o.offset && value == o.value; }
};

// The power-on values of the registers the program uses.
constexpr uint32_t SIM_UP_RESET_POWER_ON = 0x00000010;
constexpr uint32_t SIM_VPD_TIMER_POWER_ON = 0x01F40C35;
constexpr uint64_t SIM_BAR0 = 0x00003FE080000004ull;  // 64-bit memory BAR, flag bits set
constexpr uint16_t SIM_VENDOR_ID = 0x1e2c;  // config dword 0: device << 16 | vendor
constexpr uint16_t SIM_DEVICE_ID = 0x8001;

// One simulated adapter: registers at their power-on values, the EEPROM in
// memory or in its file (mapped shared), the trace file; all released when
// it goes.
class sim_adapter {
public:
    // Sets the adapter of cfg up (cfg.devices empty: one function at
    // 0000:04:00.0).  A missing EEPROM file is created holding the sample
    // board (or blank).  Throws failure (tool_usage) naming the file that
    // cannot be used.
    explicit sim_adapter(const sim_config& cfg);
    sim_adapter(const sim_adapter&) = delete;
    sim_adapter& operator=(const sim_adapter&) = delete;

    uint32_t read(uint32_t offset);
    void write(uint32_t offset, uint32_t value);
    // A configuration dword (offset below sim_hw::CFG_SPACE_SIZE, its two
    // low bits ignored) as the function's own configuration cycles reach
    // it: the model the backdoor's data register reaches, VPD capability
    // and all.  A frozen slot reads all ones and drops writes.  Not traced.
    uint32_t read_config(uint32_t offset);
    void write_config(uint32_t offset, uint32_t value);
    // The kernel's VPD file of a function on this adapter, as a kernel that
    // sizes the file shows it: the VPD from address 0 (copy 0, EEPROM
    // address 0x400) through the first end tag, read from the EEPROM as it
    // stands through the VPD model the backdoor reaches, never through a
    // register.  A VPD that begins with 0x00 or 0xFF cannot be sized: the
    // read fails with SIM_VPD_UNSIZED_ERRNO; so does a stalled capability
    // (--stall vpd), and a frozen slot reads all ones.  Whatever driver is
    // bound and whatever the lockdown.  The file is sized at every read,
    // where a 6.1 kernel sizes it once (and shows a capability that never
    // answers as an empty file).
    vpd_file kernel_vpd_file();
    // The adapter's clock: virtual, or the host's clock now (real time).
    int64_t now_us() const { return cfg_.real_clock ? host_clock_.now_us() : clock_us_; }
    // Lets the adapter's clock reach deadline_us on the host (real time
    // only).
    void sleep_until_us(int64_t deadline_us) const { host_clock_.sleep_until_us(deadline_us); }

    const sim_config& config() const { return cfg_; }
    // The EEPROM file's device and inode (0 and 0 in memory).
    dev_t eeprom_device() const { return eeprom_dev_; }
    ino_t eeprom_inode() const { return eeprom_ino_; }
    const std::vector<pci_function>& devices() const { return cfg_.devices; }
    uint8_t* eeprom() { return eeprom_; }
    uint32_t reg(uint32_t offset) const { return regs_[offset / 4]; }
    void set_reg(uint32_t offset, uint32_t value) { regs_[offset / 4] = value; }
    std::vector<sim_access>& trace() { return trace_mem_; }
    uint32_t chip_resets() const { return chip_resets_; }
    uint32_t word_writes() const { return word_writes_; }
    const sim_counts& counts() const { return counts_; }
    // Virtual microseconds since the adapter was opened.
    int64_t elapsed_us() const { return clock_us_ - SIM_CLOCK_START_US; }

private:
    struct unmapper {
        void operator()(uint8_t* bytes) const;
    };
    uint32_t config_read(uint32_t offset);
    void config_write(uint32_t offset, uint32_t value);
    uint32_t eeprom_read_word(uint32_t vpd_address);
    void eeprom_write_word(uint32_t vpd_address, uint32_t word);
    void record(char kind, uint32_t offset, uint32_t value);
    void power_on_registers();
    void finish_vpd_transfer();
    void tick();
    void real_now();

    sim_config cfg_;
    std::vector<uint32_t> regs_;
    std::array<uint32_t, sim_hw::CFG_SPACE_SIZE / 4> config_{};
    std::array<uint8_t, SIM_EEPROM_SIZE> memory_eeprom_{};
    std::unique_ptr<uint8_t, unmapper> file_eeprom_;  // the EEPROM file's mapping, when there is a file
    dev_t eeprom_dev_ = 0;  // the EEPROM file's device and inode; 0 in memory
    ino_t eeprom_ino_ = 0;
    uint8_t* eeprom_ = memory_eeprom_.data();

    uint32_t vpd_address_ = 0;  // 15 bits
    uint32_t vpd_flag_ = 0;
    uint32_t vpd_data_ = 0;
    bool write_cycle_pending_ = false;
    bool vpd_pending_ = false;  // a transfer that finishes at vpd_ready_us_
    int64_t vpd_ready_us_ = 0;
    sim_counts counts_;
    int64_t write_cycle_end_us_ = 0;
    int64_t clock_us_ = SIM_CLOCK_START_US;
    host_clock host_clock_;

    file_ptr trace_file_;
    std::vector<sim_access> trace_mem_;
    uint32_t chip_resets_ = 0;
    uint32_t word_writes_ = 0;
};

// The simulated host as the program's platform: the functions of the
// configuration, those given an EEPROM file of their own (--device
// ADDR=FILE) each on an adapter model of its own, the others on the shared
// model; and its site (where()): locks, backups and journals beside the
// EEPROM file, the kernel's lockdown mode and refusals, the slot state, the
// EEPROM files as the platform's own.
class sim_platform : public platform {
public:
    // Opens every model of cfg, the shared one first.  Throws failure
    // (tool_usage) when one cannot be opened.
    explicit sim_platform(const sim_config& cfg);

    std::vector<pci_function> scan() override;
    mapped_window map(const pci_function& fn) override;
    // fn's model's kernel_vpd_file(): the simulated kernel has a VPD file
    // for every function.
    vpd_file read_vpd_file(const site& where, const pci_function& fn) override;
    // Each model keeps its own virtual time.
    int64_t clock_us(const pci_function& fn) override;
    // A sleep on the host's clock (--real-time); none on the virtual clock.
    bool sleep_until_us(const pci_function& fn, int64_t deadline_us) override;

    const site& where() const { return site_; }
    // The shared model, the model behind fn, and every model (the shared
    // one first).
    sim_adapter& model() { return *shared_; }
    sim_adapter& model_of(const pci_function& fn);
    std::vector<sim_adapter*> models();

private:
    std::unique_ptr<sim_adapter> shared_;
    std::vector<std::pair<pci_function, std::unique_ptr<sim_adapter>>> own_;
    site site_;
};

// Fills eeprom (32768 bytes) with the built-in sample board.
void fill_sample_board(uint8_t* eeprom);

// The sample board's identity.
extern const char SIM_PART_NUMBER[17];
extern const char SIM_SERIAL_NUMBER[25];
extern const char SIM_MAC_ADDRESS[13];

// --serve: answers register accesses over the UNIX socket cfg.serve_path
// (protocol in sim/serve.cpp) until the client goes or a SIGINT or SIGTERM
// arrives.  Throws failure (tool_usage) on a problem of its own.
void sim_serve(const sim_config& cfg);
