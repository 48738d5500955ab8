#include "sim/sim_adapter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/error.h"
#include "common/unique_fd.h"
#include "sim/sim_registers.h"

using namespace sim_hw;

namespace {

constexpr uint32_t SIM_VENDOR_DEVICE = uint32_t{SIM_DEVICE_ID} << 16 | SIM_VENDOR_ID;  // config dword 0

// The adapter powers on with its microprocessor running and its VPD timer on.
static_assert((SIM_UP_RESET_POWER_ON & UP_RESET_HOLD) == 0, "microprocessor running at power-on");
static_assert((SIM_VPD_TIMER_POWER_ON & VPD_TIMER_ENABLE) != 0, "VPD timer on at power-on");

// The EEPROM file at path, mapped shared: every word written is in the file
// at once and survives however the process ends.  A missing file, or a
// symbolic link to one, is created (through the link) holding the sample
// board, or blank; only a file still empty once open is filled, so a file
// that another run created meanwhile is kept.
uint8_t* map_eeprom_file(const char* path, bool blank) {
    // A file nobody may write is protected by its owner (a backup is such a
    // file): never an EEPROM, even for root.
    struct stat mode;
    if (stat(path, &mode) == 0 && (mode.st_mode & 0222) == 0)
        throw failure(error_kind::tool_usage,
                      std::string("romwright-sim: ") + path +
                          " has no write permission bits: it is not taken as an EEPROM file (copy it, or chmod u+w "
                          "it)\n");
    unique_fd fd(::open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    bool created = false;
    if (fd.fd < 0 && errno == ENOENT) {
        fd.fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        struct stat st;
        created = fd.fd >= 0 && fstat(fd.fd, &st) == 0 && st.st_size == 0;
    }
    if (fd.fd < 0) {
        const int e = errno;
        char target[4096];
        const ssize_t n = readlink(path, target, sizeof target - 1);
        const std::string link =
            n > 0 ? " (a symbolic link to " + std::string(target, static_cast<size_t>(n)) + ")" : std::string();
        throw failure(error_kind::tool_usage, std::string("romwright-sim: cannot open EEPROM file ") + path + link +
                                                  ": " + std::strerror(e) + "\n");
    }
    if (created) {
        std::array<uint8_t, SIM_EEPROM_SIZE> image;
        if (blank)
            image.fill(0xFF);
        else
            fill_sample_board(image.data());
        if (::write(fd.fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()))
            throw failure(error_kind::tool_usage, std::string("romwright-sim: cannot create EEPROM file ") + path +
                                                      ": " + std::strerror(errno) + "\n");
    }
    struct stat st;
    if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw failure(error_kind::tool_usage,
                      std::string("romwright-sim: ") + path + ": an EEPROM file must be a plain file\n");
    if (st.st_size != SIM_EEPROM_SIZE)
        throw failure(error_kind::tool_usage,
                      std::string("romwright-sim: ") + path + ": an EEPROM file must hold exactly 32768 bytes\n");
    void* map = mmap(nullptr, SIM_EEPROM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd.fd, 0);
    if (map == MAP_FAILED)
        throw failure(error_kind::tool_usage,
                      std::string("romwright-sim: cannot map EEPROM file ") + path + ": " + std::strerror(errno) + "\n");
    return static_cast<uint8_t*>(map);
}

}  // namespace

void sim_adapter::unmapper::operator()(uint8_t* bytes) const { munmap(bytes, SIM_EEPROM_SIZE); }

sim_adapter::sim_adapter(const sim_config& cfg) : cfg_(cfg), regs_(WINDOW_SIZE / 4, 0) {
    if (cfg_.devices.empty())
        cfg_.devices.push_back(pci_function{0, 0x04, 0x00, 0, SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID, ""});
    power_on_registers();
    config_[0] = SIM_VENDOR_DEVICE;

    if (cfg_.eeprom_path.empty()) {
        if (cfg_.blank)
            memory_eeprom_.fill(0xFF);
        else
            fill_sample_board(eeprom_);
    } else {
        file_eeprom_.reset(map_eeprom_file(cfg_.eeprom_path.c_str(), cfg_.blank));
        eeprom_ = file_eeprom_.get();
        struct stat st;
        if (stat(cfg_.eeprom_path.c_str(), &st) == 0) {
            eeprom_dev_ = st.st_dev;
            eeprom_ino_ = st.st_ino;
        }
    }

    if (!cfg_.trace_path.empty()) {
        trace_file_.reset(std::fopen(cfg_.trace_path.c_str(), "a"));
        if (!trace_file_)
            throw failure(error_kind::tool_usage, "romwright-sim: cannot open trace file " + cfg_.trace_path + ": " +
                                                      std::strerror(errno) + "\n");
        std::setvbuf(trace_file_.get(), nullptr, _IOFBF, 1 << 16);
    }
}

void sim_adapter::power_on_registers() {
    std::fill(regs_.begin(), regs_.end(), 0);
    regs_[REG_UP_RESET / 4] = SIM_UP_RESET_POWER_ON;
    regs_[REG_VPD_TIMER / 4] = SIM_VPD_TIMER_POWER_ON;
}

void sim_adapter::record(char kind, uint32_t offset, uint32_t value) {
    if (trace_file_)
        std::fprintf(trace_file_.get(), "%c 0x%05x 0x%08x\n", kind, offset, value);
    if (cfg_.trace_memory)
        trace_mem_.push_back(sim_access{kind, offset, value});
}

// One register access: a microsecond of virtual time.  On the host's clock
// (--real-time, --serve) time passes by itself: only the VPD capability's
// address register, whose flag tells whether a transfer has finished,
// looks at it (see real_now()).
void sim_adapter::tick() {
    if (!cfg_.real_clock)
        clock_us_ += 1;
}

// The host's clock tells the time of day as the host's platform does:
// backup names and journal times read the date, not the time since boot.
void sim_adapter::real_now() {
    if (cfg_.real_clock)
        clock_us_ = host_clock_.now_us();
}

uint32_t sim_adapter::read(uint32_t offset) {
    offset &= (WINDOW_SIZE - 1) & ~3u;
    tick();
    ++counts_.register_reads;
    uint32_t v;
    const uint32_t request = regs_[REG_CFG_REQUEST / 4];
    if (cfg_.frozen)
        v = 0xFFFFFFFFu;
    else if (offset == REG_CFG_DATA)
        // A request word the adapter does not honour selects nothing: the
        // data register reads all ones.
        v = cfg_request_valid(request) ? config_read(cfg_request_offset(request)) : 0xFFFFFFFFu;
    else
        v = regs_[offset / 4];
    record('R', offset, v);
    return v;
}

void sim_adapter::write(uint32_t offset, uint32_t value) {
    offset &= (WINDOW_SIZE - 1) & ~3u;
    tick();
    ++counts_.register_writes;
    record('W', offset, value);
    if (cfg_.frozen)
        return;
    const uint32_t request = regs_[REG_CFG_REQUEST / 4];
    switch (offset) {
    case REG_CFG_DATA:
        // ...and drops what is written.
        if (cfg_request_valid(request))
            config_write(cfg_request_offset(request), value);
        break;
    case REG_FULLCHIP_RESET:
        if (value == FULLCHIP_RESET_GO) {
            // The whole chip restarts: registers return to their power-on
            // values; the EEPROM keeps its contents.
            ++chip_resets_;
            power_on_registers();
            break;
        }
        regs_[offset / 4] = value;
        break;
    default:
        regs_[offset / 4] = value;
        break;
    }
}

uint32_t sim_adapter::read_config(uint32_t offset) {
    tick();
    return cfg_.frozen ? 0xFFFFFFFFu : config_read(offset & (CFG_SPACE_SIZE - 1) & ~3u);
}

void sim_adapter::write_config(uint32_t offset, uint32_t value) {
    tick();
    if (!cfg_.frozen)
        config_write(offset & (CFG_SPACE_SIZE - 1) & ~3u, value);
}

// The kernel's sizing walk: from VPD address 0, large-resource items
// (tag bit 7, 16-bit length) and small ones (3-bit length) passed over,
// the size ending after the first end tag (small item 0xF); an item that
// would run past the VPD space ends the size where it begins.
vpd_file sim_adapter::kernel_vpd_file() {
    const vpd_file_refusal unsized{vpd_file_step::read, SIM_VPD_UNSIZED_ERRNO};
    if (cfg_.stall_vpd)
        return unsized;  // the kernel's wait for the flag times out
    uint32_t cached_at = 1;  // no word read yet
    uint32_t cached = 0;
    auto byte_at = [&](uint32_t vpd_address) {
        const uint32_t at = vpd_address & ~3u;
        if (at != cached_at) {
            cached = cfg_.frozen ? 0xFFFFFFFFu : eeprom_read_word(at);
            cached_at = at;
        }
        return static_cast<uint8_t>(cached >> 8 * (vpd_address & 3));
    };
    const uint8_t first = byte_at(0);
    if (first == 0x00 || first == 0xFF)
        return unsized;
    uint32_t size = 0;
    while (size < VPD_FILE_MAX) {
        const uint8_t tag = byte_at(size);
        uint32_t item;
        if (tag & 0x80)
            item = size + 3 <= VPD_FILE_MAX ? 3 + (byte_at(size + 1) | uint32_t{byte_at(size + 2)} << 8) : VPD_FILE_MAX;
        else
            item = 1 + (tag & 7u);
        if (size + item > VPD_FILE_MAX)
            break;
        size += item;
        if ((tag & 0x80) == 0 && (tag >> 3) == 0xF)
            break;
    }
    if (size == 0)
        return unsized;
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = byte_at(i);
    return bytes;
}

uint32_t sim_adapter::config_read(uint32_t offset) {
    switch (offset) {
    case CFG_VPD_ADDR:
        real_now();
        if (vpd_pending_ && clock_us_ >= vpd_ready_us_)
            finish_vpd_transfer();
        return (vpd_flag_ ? VPD_FLAG : 0) | vpd_address_ << VPD_ADDRESS_SHIFT | VPD_CAP_ID;
    case CFG_VPD_DATA:
        return vpd_data_;
    default:
        return config_[offset / 4];
    }
}

void sim_adapter::config_write(uint32_t offset, uint32_t value) {
    switch (offset) {
    case CFG_VPD_ADDR:
        // Bits 0-15 (capability ID and next pointer) are read-only.
        vpd_address_ = (value >> VPD_ADDRESS_SHIFT) & VPD_ADDRESS_MASK;
        vpd_flag_ = (value & VPD_FLAG) ? 1 : 0;
        if (cfg_.stall_vpd)
            return;  // the flag never changes
        real_now();
        vpd_pending_ = true;
        vpd_ready_us_ = clock_us_ + cfg_.vpd_us;
        if (cfg_.vpd_us == 0)
            finish_vpd_transfer();  // the flag has changed by the first poll
        break;
    case CFG_VPD_DATA:
        vpd_data_ = value;
        break;
    default:
        config_[offset / 4] = value;
        break;
    }
}

void sim_adapter::finish_vpd_transfer() {
    vpd_pending_ = false;
    if (vpd_flag_ == 0) {
        vpd_data_ = eeprom_read_word(vpd_address_);
        vpd_flag_ = 1;  // data ready
    } else {
        eeprom_write_word(vpd_address_, vpd_data_);
        vpd_flag_ = 0;  // write taken
    }
}

uint32_t sim_adapter::eeprom_read_word(uint32_t vpd_address) {
    const uint32_t a = eeprom_word_address(vpd_address);
    ++(a == EEPROM_STATUS_ADDR ? counts_.status_polls : counts_.eeprom_words_read);
    if (a == EEPROM_STATUS_ADDR) {
        // The status word: busy once after each accepted write, and reading
        // it busy lets the write cycle run to its end.
        if (cfg_.stall_status)
            return EEPROM_STATUS_BUSY;
        if (write_cycle_pending_ && cfg_.real_clock) {
            // Real time: busy until the cycle has passed.
            write_cycle_pending_ = clock_us_ < write_cycle_end_us_;
            return write_cycle_pending_ ? EEPROM_STATUS_BUSY : 0;
        }
        if (write_cycle_pending_) {
            write_cycle_pending_ = false;
            if (clock_us_ < write_cycle_end_us_)
                clock_us_ = write_cycle_end_us_;
            return EEPROM_STATUS_BUSY;
        }
        return 0;
    }
    return uint32_t{eeprom_[a]} | uint32_t{eeprom_[a + 1]} << 8 | uint32_t{eeprom_[a + 2]} << 16 |
           uint32_t{eeprom_[a + 3]} << 24;
}

void sim_adapter::eeprom_write_word(uint32_t vpd_address, uint32_t word) {
    const uint32_t a = eeprom_word_address(vpd_address);
    ++word_writes_;
    ++counts_.eeprom_words_written;
    if (a != EEPROM_STATUS_ADDR && !cfg_.write_protect) {
        eeprom_[a] = static_cast<uint8_t>(word);
        eeprom_[a + 1] = static_cast<uint8_t>(word >> 8);
        eeprom_[a + 2] = static_cast<uint8_t>(word >> 16);
        eeprom_[a + 3] = static_cast<uint8_t>(word >> 24);
        write_cycle_pending_ = true;
        write_cycle_end_us_ = clock_us_ + int64_t{cfg_.write_cycle_us};
    }
    if (cfg_.raise_signal != 0 && word_writes_ == cfg_.raise_after) {
        if (trace_file_)
            std::fflush(trace_file_.get());
        std::raise(cfg_.raise_signal);
    }
    if (cfg_.power_loss_after != 0 && word_writes_ == cfg_.power_loss_after)
        kill(getpid(), SIGKILL);  // a power cut: no handler, no flush, nothing after this word
}
