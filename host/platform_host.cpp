#include "host/platform_host.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern "C" {
#include <pci/pci.h>
}

#include "adapter/adapter.h"
#include "adapter/mmio.h"
#include "common/error.h"
#include "common/file_ptr.h"
#include "common/unique_fd.h"

namespace {

#ifdef PCI_FILL_DRIVER
constexpr unsigned k_fill_driver = PCI_FILL_DRIVER;
#else
constexpr unsigned k_fill_driver = 0;
#endif

// The name of the driver bound to d, or "" for none.  libpci reports it
// where it knows how (3.8 and later); older ones leave the sysfs link to us.
std::string driver_of(const struct pci_dev* d, const std::string& sysfs) {
#ifdef PCI_FILL_DRIVER
    (void)sysfs;
    const char* name = pci_get_string_property(const_cast<struct pci_dev*>(d), PCI_FILL_DRIVER);
    return name ? name : "";
#else
    const std::string link = strprintf("%s/devices/%04x:%02x:%02x.%x/driver", sysfs.c_str(),
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

// The window mapped from the device-memory file; unmapped when destroyed.
class mmio_window : public register_window {
public:
    mmio_window(int fd, void* base) : fd_(fd), base_(static_cast<volatile uint8_t*>(base)) {}
    ~mmio_window() override {
        munmap(const_cast<uint8_t*>(base_), REGISTER_WINDOW_SIZE);
        close(fd_);
    }
    uint32_t read32(uint32_t offset) override { return mmio_read32(base_ + offset); }
    void write32(uint32_t offset, uint32_t value) override { mmio_write32(base_ + offset, value); }

private:
    int fd_;
    volatile uint8_t* base_;
};

}  // namespace

host_platform::~host_platform() {
    if (pacc_)
        pci_cleanup(pacc_);
}

std::vector<pci_function> host_platform::scan() {
    if (pacc_)
        pci_cleanup(pacc_);
    struct pci_access* pacc = pacc_ = pci_alloc();
    if (places_.sysfs != host_places().sysfs)
        pci_set_param(pacc, const_cast<char*>("sysfs.path"), const_cast<char*>(places_.sysfs.c_str()));
    pci_init(pacc);  // default method and handlers; on failure libpci exits itself
    pci_scan_bus(pacc);
    // Current libpci fills the BARs only on request: after the scan alone
    // base_addr[0] reads 0, which would map physical address 0.
    for (struct pci_dev* d = pacc->devices; d; d = d->next)
        pci_fill_info(d, PCI_FILL_BASES | PCI_FILL_IDENT | k_fill_driver);
    std::vector<pci_function> out = host_collect_functions(pacc->devices, places_.sysfs);
    size_t i = 0;
    for (struct pci_dev* d = pacc->devices; d; d = d->next, ++i)
        out[i].memory_decoding = (pci_read_word(d, PCI_COMMAND) & PCI_COMMAND_MEMORY) != 0;
    return out;
}

mapped_window host_platform::map(const pci_function& fn) {
    const uint64_t phys = bar0_physical(fn.base_addr0);
    int fd = open(places_.mem.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return devmem_refusal{devmem_step::open, errno};
    void* base = mmap(nullptr, REGISTER_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(phys));
    if (base == MAP_FAILED) {
        const int e = errno;
        close(fd);
        return devmem_refusal{devmem_step::map, e};
    }
    return std::make_unique<mmio_window>(fd, base);
}

// The kernel sizes the file to copy 0 (up to its end tag, far less than a
// page) and hands a binary attribute out up to a page a read: one read of
// the whole bound takes all of it.  Each word of it is a VPD transfer of
// the kernel's, so the file is read once, never twice.  No link is followed at the file itself
// (sysfs's device folders are links, its attributes are not), and a FIFO
// planted in its place cannot hold the run.
vpd_file host_platform::read_vpd_file(const site& where, const pci_function& fn) {
    unique_fd fd(::open(kernel_vpd_path(where, fn).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (fd.fd < 0)
        return vpd_file_refusal{vpd_file_step::open, errno};
    // The kernel's file is a plain file: a FIFO or a device node put in
    // its place is refused, not read from.
    struct stat st;
    if (::fstat(fd.fd, &st) != 0)
        return vpd_file_refusal{vpd_file_step::read, errno};
    if (!S_ISREG(st.st_mode))
        return vpd_file_refusal{vpd_file_step::read, S_ISDIR(st.st_mode) ? EISDIR : ENODEV};
    std::vector<uint8_t> bytes(VPD_FILE_MAX);
    ssize_t n;
    do
        n = ::read(fd.fd, bytes.data(), bytes.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return vpd_file_refusal{vpd_file_step::read, errno};
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}

int64_t host_platform::clock_us(const pci_function&) { return clock_.now_us(); }

bool host_platform::sleep_until_us(const pci_function&, int64_t deadline_us) {
    clock_.sleep_until_us(deadline_us);
    return true;
}

std::string selected_lockdown(const std::string& text) {
    const size_t from = text.find('['), to = text.find(']', from);
    return from == std::string::npos || to == std::string::npos ? std::string() : text.substr(from + 1, to - from - 1);
}

site host_site(const host_places& places) {
    site where;
    where.lock_dir = places.lock_dir;
    where.backup_dir = places.backup_dir;
    where.journal_dir = places.journal_dir;
    where.history_file = places.history_file;
    where.approved_list = places.approved_list;
    where.sysfs_root = places.sysfs;
    where.devmem = places.mem;
    where.platform_files.push_back(
        platform_file{places.mem, "the device-memory file", "the device-memory file " + places.mem});
    file_ptr fp(std::fopen(places.lockdown.c_str(), "r"));
    char line[256];
    if (fp && std::fgets(line, sizeof line, fp.get()))
        where.lockdown = selected_lockdown(line);
    return where;
}

std::vector<pci_function> host_collect_functions(const struct pci_dev* head, const std::string& sysfs) {
    std::vector<pci_function> out;
    for (const struct pci_dev* d = head; d; d = d->next)
        out.push_back(pci_function{static_cast<uint32_t>(d->domain), d->bus, d->dev, d->func,
                                   static_cast<uint64_t>(d->base_addr[0]), d->vendor_id, d->device_id,
                                   driver_of(d, sysfs)});
    return out;
}
