// The simulator behind the platform seam.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "sim/sim_adapter.h"

namespace {

int sim_scan(std::vector<pci_function>& out, std::string&) {
    out = the_sim().devices();
    for (pci_function& fn : out)
        fn.memory_decoding = !the_sim().config().memory_off;
    return 0;
}

// Two runs on the same EEPROM file are two runs on the same adapter.
int sim_lock(const pci_function&, std::string& err) {
    const std::string& path = the_sim().config().eeprom_path;
    const char* target = path.empty() ? "/dev/null" : path.c_str();
    int fd = ::open(target, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = std::string("ERROR: cannot open ") + target + " to lock it: " + std::strerror(errno) + "\n";
        return -1;
    }
    if (!path.empty() && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK)
            return -2;
        err = std::string("ERROR: cannot lock ") + target + ": " + std::strerror(e) + "\n";
        return -1;
    }
    return fd;
}

int sim_map(uint64_t, pci_dev_iomem& win, std::string&) {
    win.fd = -1;
    win.base = nullptr;
    return 0;
}

void sim_unmap(pci_dev_iomem&) {}

uint32_t sim_read32(const pci_dev_iomem&, uint32_t offset) { return the_sim().read(offset); }
void sim_write32(const pci_dev_iomem&, uint32_t offset, uint32_t value) { the_sim().write(offset, value); }
int64_t sim_clock_us() { return the_sim().now_us(); }
const char* sim_backup_dir() { return the_sim().backup_dir(); }

// The state a POWER host would show: isolated while --frozen.
bool sim_slot_state(const pci_function& fn, std::string& path, std::string& state) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "/sys/bus/pci/devices/%04x:%02x:%02x.%x/eeh_pe_state", fn.domain, fn.bus, fn.dev,
                  fn.func);
    path = buf;
    state = the_sim().config().frozen ? "0x00000000 0x00000001" : "0x00000078 0x00000000";
    return true;
}

bool sim_own_file(const char* path, std::string& what) {
    if (!the_sim().is_eeprom_file(path))
        return false;
    what = "the simulated adapter's EEPROM file (--eeprom)";
    return true;
}

}  // namespace

const platform_ops sim_platform = {
    "sim",        sim_scan,        sim_lock,       sim_map,      sim_unmap, sim_read32, sim_write32,
    sim_clock_us, sim_backup_dir, sim_slot_state, sim_own_file,
};

int sim_install(const sim_config& cfg, std::string& err) {
    if (the_sim().open(cfg, err) != 0)
        return -1;
    g_platform = &sim_platform;
    return 0;
}
