// The simulator behind the platform seam.
#include <cerrno>
#include <cstring>

#include "adapter/adapter.h"
#include "sim/sim_adapter.h"

namespace {

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
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

std::vector<pci_function> sim_platform::scan() {
    std::vector<pci_function> out = sim_.devices();
    for (pci_function& fn : out) {
        fn.memory_decoding = !sim_.config().memory_off;
        fn.driver = sim_.config().driver;
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
    return std::make_unique<sim_window>(sim_);
}

int64_t sim_platform::clock_us() { return sim_.now_us(); }

// An EEPROM kept in a file keeps its locks and journals beside it, so that
// runs on the same file are runs on the same adapter; one in memory has none.
std::string sim_platform::lock_dir() const {
    const std::string& path = sim_.config().eeprom_path;
    return path.empty() ? std::string() : dir_of(path) + "/locks";
}

// Every function the simulator shows on one EEPROM file shares it: one lock.
std::string sim_platform::lock_name(const pci_function&) const {
    const std::string& path = sim_.config().eeprom_path;
    return "romwright-" + path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1) + ".lock";
}

std::string sim_platform::backup_dir() const {
    const char* dir = sim_.backup_dir();
    return dir ? dir : "";
}

std::string sim_platform::journal_dir() const {
    const std::string& path = sim_.config().eeprom_path;
    return path.empty() ? std::string() : dir_of(path);
}

// The state a POWER host would show: isolated while --frozen.
bool sim_platform::read_slot_state(const std::string&, std::string& state) {
    state = sim_.config().frozen ? "0x00000000 0x00000001" : "0x00000078 0x00000000";
    return true;
}

bool sim_platform::own_file(const char* path, std::string& what) const {
    if (!sim_.is_eeprom_file(path))
        return false;
    what = "the simulated adapter's EEPROM file (--eeprom)";
    return true;
}
