#include "adapter/platform_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern "C" {
#include <pci/pci.h>
}

#include "adapter/adapter.h"
#include "adapter/mmio.h"
#include "common/exit_status.h"
#include "common/file_ptr.h"

namespace {

// Test seams; empty means the default.
std::string g_sysfs_path;
std::string g_mem_path;
std::string g_lock_dir;
std::string g_backup_dir;

const char* mem_path() { return g_mem_path.empty() ? "/dev/mem" : g_mem_path.c_str(); }

// libpci's access record and device list live until the process ends: the
// library is asked once per run, and nothing it returned is used after the
// lookup.  Held here so that they stay reachable (no leak reported); a later
// scan (tests only) releases the earlier one.
struct pci_access* g_pacc = nullptr;

#ifdef PCI_FILL_DRIVER
constexpr unsigned k_fill_driver = PCI_FILL_DRIVER;
#else
constexpr unsigned k_fill_driver = 0;
#endif

// The name of the driver bound to d, or "" for none.  libpci reports it
// where it knows how (3.8 and later); older ones leave the sysfs link to us.
std::string driver_of(const struct pci_dev* d) {
#ifdef PCI_FILL_DRIVER
    const char* name = pci_get_string_property(const_cast<struct pci_dev*>(d), PCI_FILL_DRIVER);
    return name ? name : "";
#else
    const std::string link = strprintf("%s/devices/%04x:%02x:%02x.%x/driver",
                                       g_sysfs_path.empty() ? "/sys/bus/pci" : g_sysfs_path.c_str(),
                                       static_cast<unsigned>(d->domain), d->bus, d->dev, d->func);
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return slash ? slash + 1 : target;
#endif
}

int host_scan(std::vector<pci_function>& out, std::string&) {
    if (g_pacc)
        pci_cleanup(g_pacc);
    struct pci_access* pacc = g_pacc = pci_alloc();
    if (!g_sysfs_path.empty())
        pci_set_param(pacc, const_cast<char*>("sysfs.path"), const_cast<char*>(g_sysfs_path.c_str()));
    pci_init(pacc);  // default method and handlers; on failure libpci exits itself
    pci_scan_bus(pacc);
    // Current libpci fills the BARs only on request: after the scan alone
    // base_addr[0] reads 0, which would map physical address 0.
    for (struct pci_dev* d = pacc->devices; d; d = d->next)
        pci_fill_info(d, PCI_FILL_BASES | PCI_FILL_IDENT | k_fill_driver);
    out = host_collect_functions(pacc->devices);
    size_t i = 0;
    for (struct pci_dev* d = pacc->devices; d; d = d->next, ++i)
        out[i].memory_decoding = (pci_read_word(d, PCI_COMMAND) & PCI_COMMAND_MEMORY) != 0;
    return 0;
}

int host_lock(const pci_function& fn, std::string& err) {
    const char* dir = g_lock_dir.empty() ? "/run/lock" : g_lock_dir.c_str();
    std::string path = strprintf("%s/romwright-%04x:%02x:%02x.lock", dir, fn.domain, fn.bus, fn.dev);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = strprintf("ERROR: cannot create the adapter lock file %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        if (e == EWOULDBLOCK)
            return -2;
        err = strprintf("ERROR: cannot lock %s: %s\n", path.c_str(), strerror(e));
        return -1;
    }
    return fd;
}

int host_map(uint64_t phys, pci_dev_iomem& win, std::string& err) {
    int fd = open(mem_path(), O_RDWR);
    if (fd < 0) {
        int e = errno;
        err = strprintf("ERROR: cannot open %s: %s (romwright must run as root, with the right to map device memory)\n",
                        mem_path(), strerror(e));
        return -1;
    }
    void* base = mmap(nullptr, REGISTER_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(phys));
    if (base == MAP_FAILED) {
        int e = errno;
        close(fd);
        err = strprintf("ERROR: cannot map the register window at 0x%llx through %s: %s (root and a kernel that allows "
                        "mapping device memory are needed)\n",
                        static_cast<unsigned long long>(phys), mem_path(), strerror(e));
        return -1;
    }
    win.fd = fd;
    win.base = base;
    return 0;
}

void host_unmap(pci_dev_iomem& win) {
    munmap(win.base, REGISTER_WINDOW_SIZE);
    close(win.fd);
}

uint32_t host_read32(const pci_dev_iomem& win, uint32_t offset) {
    return mmio_read32(static_cast<const volatile uint8_t*>(win.base) + offset);
}

void host_write32(const pci_dev_iomem& win, uint32_t offset, uint32_t value) {
    mmio_write32(static_cast<volatile uint8_t*>(win.base) + offset, value);
}

int64_t host_clock_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

const char* host_backup_dir() { return g_backup_dir.empty() ? "/var/lib/romwright/backups" : g_backup_dir.c_str(); }

// POWER kernels publish each function's EEH state in sysfs; other hosts have
// no such file.
bool host_slot_state(const pci_function& fn, std::string& path, std::string& state) {
    path = strprintf("%s/devices/%04x:%02x:%02x.%x/eeh_pe_state", g_sysfs_path.empty() ? "/sys/bus/pci"
                                                                                         : g_sysfs_path.c_str(),
                     fn.domain, fn.bus, fn.dev, fn.func);
    file_ptr fp(std::fopen(path.c_str(), "r"));
    char line[128];
    if (!fp || !std::fgets(line, sizeof line, fp.get()))
        return false;
    state.assign(line, std::strcspn(line, "\n"));
    return true;
}

// Written into, the device-memory file would scatter bytes over physical
// memory: the node itself, or any character device with its numbers.
bool host_own_file(const char* path, std::string& what) {
    struct stat file, mem;
    if (stat(path, &file) != 0 || stat(mem_path(), &mem) != 0)
        return false;
    const bool same = (file.st_dev == mem.st_dev && file.st_ino == mem.st_ino) ||
                      (S_ISCHR(file.st_mode) && S_ISCHR(mem.st_mode) && file.st_rdev == mem.st_rdev);
    if (same)
        what = std::strcmp(path, mem_path()) == 0 ? "the device-memory file"
                                                  : std::string("the device-memory file ") + mem_path();
    return same;
}

}  // namespace

const platform_ops host_platform = {
    "host",        host_scan,       host_lock,     host_map,       host_unmap, host_read32, host_write32,
    host_clock_us, host_backup_dir, host_slot_state, host_own_file,
};

std::vector<pci_function> host_collect_functions(const struct pci_dev* head) {
    std::vector<pci_function> out;
    for (const struct pci_dev* d = head; d; d = d->next)
        out.push_back(pci_function{static_cast<uint32_t>(d->domain), d->bus, d->dev, d->func,
                                   static_cast<uint64_t>(d->base_addr[0]), d->vendor_id, d->device_id,
                                   driver_of(d)});
    return out;
}

void host_set_sysfs_path(const char* path) { g_sysfs_path = path ? path : ""; }
void host_set_mem_path(const char* path) { g_mem_path = path ? path : ""; }
void host_set_lock_dir(const char* path) { g_lock_dir = path ? path : ""; }
void host_set_backup_dir(const char* path) { g_backup_dir = path ? path : ""; }
