// The simulator behind the platform seam, and its site.
#include "adapter/adapter.h"
#include "common/paths.h"
#include "sim/sim_adapter.h"

namespace {

// The simulated window: every access goes to the model.
class sim_window : public register_window {
public:
    explicit sim_window(sim_adapter& a) : a_(a) {}
    uint32_t read32(uint32_t offset) override { return a_.read(offset); }
    void write32(uint32_t offset, uint32_t value) override { a_.write(offset, value); }

private:
    sim_adapter& a_;
};

// Where the simulated host keeps its files: beside --eeprom, else beside
// the first EEPROM file of its own; "" when every EEPROM is in memory.
std::string home_dir(const sim_config& cfg) {
    if (!cfg.eeprom_path.empty())
        return folder_of(cfg.eeprom_path);
    for (const std::string& f : cfg.device_files)
        if (!f.empty())
            return folder_of(f);
    return "";
}

// The site of the shared model's configuration cfg.
site sim_site(const sim_config& cfg) {
    site where;
    const std::string home = home_dir(cfg);
    // Runs on the same EEPROM file are runs on the same adapter: the lock
    // is the file's; one in memory needs no lock.
    where.lock_dir = home.empty() ? home : home + "/locks";
    if (!cfg.backup_dir.empty())
        where.backup_dir = cfg.backup_dir;
    else if (!cfg.eeprom_path.empty())
        where.backup_dir = cfg.eeprom_path.substr(0, cfg.eeprom_path.rfind('/') + 1) + "backups";
    else if (!home.empty())
        where.backup_dir = home + "/backups";
    where.journal_dir = home;
    where.history_file = home.empty() ? home : home + "/history.jsonl";
    // As a distribution kernel for POWER refuses it: a locked-down kernel
    // opens no /dev/mem, and registers that a driver holds are not mapped.
    where.lockdown = cfg.lockdown;
    where.refuses_before_mapping = true;
    // The state a POWER host would show: isolated while --frozen.
    where.slot_state = cfg.frozen ? "0x00000000 0x00000001" : "0x00000078 0x00000000";
    const std::string what = "the simulated adapter's EEPROM file (--eeprom)";
    if (!cfg.eeprom_path.empty())
        where.platform_files.push_back(platform_file{cfg.eeprom_path, what, what});
    for (const std::string& f : cfg.device_files)
        if (!f.empty())
            where.platform_files.push_back(platform_file{f, what, what});
    return where;
}

}  // namespace

sim_platform::sim_platform(const sim_config& cfg) : shared_(std::make_unique<sim_adapter>(cfg)) {
    const sim_config& shared = shared_->config();
    for (size_t i = 0; i < shared.devices.size() && i < shared.device_files.size(); ++i) {
        if (shared.device_files[i].empty())
            continue;
        sim_config own = shared;
        own.eeprom_path = shared.device_files[i];
        own.devices = {shared.devices[i]};
        own.device_files.clear();
        own.trace_path.clear();  // one trace: the shared model's
        own_.emplace_back(shared.devices[i], std::make_unique<sim_adapter>(own));
    }
    site_ = sim_site(shared);
    // Every function shown on one EEPROM file shares it, and so does every
    // name of that file (a hard link; a file of the same name in another
    // folder is another file): its lock is named after the file's device
    // and inode.
    site_.eeprom_names.clear();
    for (const pci_function& fn : shared.devices) {
        const sim_adapter& m = model_of(fn);
        site_.eeprom_names.push_back(
            named_eeprom{fn, std::to_string(static_cast<unsigned long long>(m.eeprom_device())) + "-" +
                                 std::to_string(static_cast<unsigned long long>(m.eeprom_inode()))});
    }
}

sim_adapter& sim_platform::model_of(const pci_function& fn) {
    for (auto& own : own_)
        if (same_function(own.first, fn))
            return *own.second;
    return *shared_;
}

std::vector<sim_adapter*> sim_platform::models() {
    std::vector<sim_adapter*> out{shared_.get()};
    for (auto& own : own_)
        out.push_back(own.second.get());
    return out;
}

std::vector<pci_function> sim_platform::scan() {
    std::vector<pci_function> out = shared_->devices();
    for (pci_function& fn : out) {
        fn.memory_decoding = !shared_->config().memory_off;
        fn.driver = shared_->config().driver;
    }
    return out;
}

mapped_window sim_platform::map(const pci_function& fn) { return std::make_unique<sim_window>(model_of(fn)); }

vpd_file sim_platform::read_vpd_file(const site&, const pci_function& fn) { return model_of(fn).kernel_vpd_file(); }

int64_t sim_platform::clock_us(const pci_function& fn) { return model_of(fn).now_us(); }

bool sim_platform::sleep_until_us(const pci_function& fn, int64_t deadline_us) {
    const sim_adapter& model = model_of(fn);
    if (!model.config().real_clock)
        return false;
    model.sleep_until_us(deadline_us);
    return true;
}
