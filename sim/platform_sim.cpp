// The simulator behind the platform seam.
#include <time.h>

#include <sys/prctl.h>

#include <cerrno>
#include <cstring>

#include "adapter/adapter.h"
#include "sim/sim_adapter.h"

namespace {

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool same_function(const pci_function& a, const pci_function& b) {
    return a.domain == b.domain && a.bus == b.bus && a.dev == b.dev && a.func == b.func;
}

// The simulated window: every access goes to the model.
class sim_window : public register_window {
public:
    explicit sim_window(sim_adapter& a) : a_(a) {}
    uint32_t read32(uint32_t offset) override { return a_.read(offset); }
    void write32(uint32_t offset, uint32_t value) override { a_.write(offset, value); }

private:
    sim_adapter& a_;
};

}  // namespace

sim_platform::~sim_platform() {
    for (auto& own : own_)
        own.second->close();
}

int sim_platform::open_own_adapters(std::string& err) {
    const sim_config& cfg = shared_.config();
    for (size_t i = 0; i < cfg.devices.size() && i < cfg.device_files.size(); ++i) {
        if (cfg.device_files[i].empty())
            continue;
        sim_config own = cfg;
        own.eeprom_path = cfg.device_files[i];
        own.devices = {cfg.devices[i]};
        own.device_files.clear();
        own.trace_path.clear();  // one trace: the shared model's
        own.backup_dir = backup_dir();
        auto a = std::make_unique<sim_adapter>();
        if (a->open(own, err) != 0)
            return -1;
        own_.emplace_back(cfg.devices[i], std::move(a));
    }
    return 0;
}

sim_adapter& sim_platform::adapter_of(const pci_function& fn) {
    for (auto& own : own_)
        if (same_function(own.first, fn))
            return *own.second;
    return shared_;
}

std::vector<sim_adapter*> sim_platform::adapters() {
    std::vector<sim_adapter*> out{&shared_};
    for (auto& own : own_)
        out.push_back(own.second.get());
    return out;
}

std::vector<pci_function> sim_platform::scan() {
    std::vector<pci_function> out = shared_.devices();
    for (pci_function& fn : out) {
        fn.memory_decoding = !shared_.config().memory_off;
        fn.driver = shared_.config().driver;
    }
    return out;
}

// As a distribution kernel for POWER refuses it: a locked-down kernel
// opens no /dev/mem, and registers that a driver holds are not mapped.
std::unique_ptr<register_window> sim_platform::map(const pci_function& fn) {
    if (closes_devmem(lockdown()))
        throw devmem_failure(devmem_step::open, fn, "/dev/mem", EPERM, lockdown());
    if (!fn.driver.empty())
        throw devmem_failure(devmem_step::map, fn, "/dev/mem", EPERM, lockdown());
    return std::make_unique<sim_window>(adapter_of(fn));
}

int64_t sim_platform::clock_us() { return shared_.now_us(); }
// Each model keeps its own virtual time.
int64_t sim_platform::clock_us(const pci_function& fn) { return adapter_of(fn).now_us(); }

bool sim_platform::sleep_us(int64_t us) {
    // The kernel's default slack (50 us) would lengthen every short sleep.
    static const bool precise = prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0) == 0;
    (void)precise;
    if (!shared_.config().real_clock)
        return false;  // virtual time passes with register accesses only
    struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return true;
}

// Where the simulated host keeps its files: beside --eeprom, else beside
// the first EEPROM file of its own; "" when every EEPROM is in memory.
std::string sim_platform::home_dir() const {
    const sim_config& cfg = shared_.config();
    if (!cfg.eeprom_path.empty())
        return dir_of(cfg.eeprom_path);
    for (const std::string& f : cfg.device_files)
        if (!f.empty())
            return dir_of(f);
    return "";
}

// Runs on the same EEPROM file are runs on the same adapter; one in memory
// needs no lock.
std::string sim_platform::lock_dir() const {
    const std::string home = home_dir();
    return home.empty() ? home : home + "/locks";
}

// Every function shown on one EEPROM file shares it, and so does every name
// of that file (a hard link, a file of one name in another folder is
// another file): one lock, named after the file's device and inode.
std::string sim_platform::lock_name(const pci_function& fn) const {
    const sim_adapter* model = &shared_;
    for (const auto& own : own_)
        if (same_function(own.first, fn))
            model = own.second.get();
    return "romwright-" + std::to_string(static_cast<unsigned long long>(model->eeprom_device())) + "-" +
           std::to_string(static_cast<unsigned long long>(model->eeprom_inode())) + ".lock";
}

std::string sim_platform::backup_dir() const {
    if (const char* dir = shared_.backup_dir())
        return dir;
    const std::string home = home_dir();
    return home.empty() ? home : home + "/backups";
}

std::string sim_platform::journal_dir() const { return home_dir(); }

// The state a POWER host would show: isolated while --frozen.
bool sim_platform::read_slot_state(const std::string&, std::string& state) {
    state = shared_.config().frozen ? "0x00000000 0x00000001" : "0x00000078 0x00000000";
    return true;
}

bool sim_platform::own_file(const char* path, std::string& what) const {
    bool own = shared_.is_eeprom_file(path);
    for (const auto& a : own_)
        own = own || a.second->is_eeprom_file(path);
    if (!own)
        return false;
    what = "the simulated adapter's EEPROM file (--eeprom)";
    return true;
}
