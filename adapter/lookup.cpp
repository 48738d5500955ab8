// Adapter lookup: finds the PCI function named by -b, refuses an ambiguous
// or unusable one, locks the adapter against a second run and maps its
// window.  Also what every platform shares: the lock and what a refused
// /dev/mem says.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "adapter/adapter.h"
#include "common/error.h"

bool closes_devmem(const std::string& lockdown) {
    return lockdown == "integrity" || lockdown == "confidentiality";
}

// Kernels built with STRICT_DEVMEM and IO_STRICT_DEVMEM (as distribution
// kernels for POWER are) refuse mappings of registers that a driver has
// claimed; a kernel in lockdown refuses to open /dev/mem at all.
failure devmem_failure(devmem_step step, const pci_function& fn, const std::string& mem, int err,
                       const std::string& lockdown) {
    const std::string at = function_address(fn);
    std::string text =
        step == devmem_step::open
            ? strprintf("ERROR: cannot open %s: %s (romwright must run as root, with the right to map device "
                        "memory)\n",
                        mem.c_str(), std::strerror(err))
            : strprintf("ERROR: cannot map the register window at 0x%llx through %s: %s (root and a kernel "
                        "that allows mapping device memory are needed)\n",
                        static_cast<unsigned long long>(bar0_physical(fn.base_addr0)), mem.c_str(),
                        std::strerror(err));
    if (closes_devmem(lockdown)) {
        text += strprintf("The kernel is locked down (lockdown mode %s in /sys/kernel/security/lockdown, as secure "
                          "boot may set it): the lockdown closes /dev/mem entirely, so neither unbinding a driver "
                          "nor iomem=relaxed helps; romwright needs a kernel that is not locked down.\n",
                          lockdown.c_str());
    } else if (step == devmem_step::map && err == EPERM && !fn.driver.empty()) {
        const char* d = fn.driver.c_str();
        text += strprintf("The driver %s is bound to %s and holds its registers, and this kernel (built with "
                          "STRICT_DEVMEM and IO_STRICT_DEVMEM) refuses to map registers that a driver holds.\n"
                          "To go on, unbind the driver (the adapter's port is out of service until it is bound "
                          "back):\n"
                          "  echo %s > /sys/bus/pci/drivers/%s/unbind\n"
                          "run romwright again, then bind the driver back:\n"
                          "  echo %s > /sys/bus/pci/drivers/%s/bind\n"
                          "Or boot the kernel with the parameter iomem=relaxed, which lets /dev/mem map registers "
                          "that a driver holds.\n",
                          d, at.c_str(), at.c_str(), d, at.c_str(), d);
    } else if (step == devmem_step::map && err == EPERM) {
        text += strprintf("No driver is bound to %s, yet something in the kernel has claimed its registers, and "
                          "this kernel refuses to map claimed registers; booted with the parameter iomem=relaxed it "
                          "lets /dev/mem map them.\n",
                          at.c_str());
    }
    return failure(error_kind::failed, text)
        .with_fact("devmem_step", step == devmem_step::open ? "open" : "map")
        .with_fact("errno", std::to_string(err));
}

namespace {

[[noreturn]] void unsafe_lock(const std::string& path, const std::string& why) {
    throw failure(error_kind::failed,
                  strprintf("ERROR: the adapter lock %s cannot be trusted: %s; remove it and run again\n", path.c_str(),
                            why.c_str()));
}

// The lock folder: made with mode 0700 when missing; a link, a folder of
// another user or one that others may write is refused.
void check_lock_dir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw failure(error_kind::failed, strprintf("ERROR: cannot create the adapter lock folder %s: %s\n",
                                                    dir.c_str(), std::strerror(errno)));
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        throw failure(error_kind::failed,
                      strprintf("ERROR: cannot read the adapter lock folder %s: %s\n", dir.c_str(), std::strerror(errno)));
    if (!S_ISDIR(st.st_mode))
        unsafe_lock(dir, "it is not a folder (a link or another file stands there)");
    if (st.st_uid != geteuid())
        unsafe_lock(dir, strprintf("the folder belongs to user %u, not to this user", static_cast<unsigned>(st.st_uid)));
    if ((st.st_mode & 022) != 0)
        unsafe_lock(dir, strprintf("others may write the folder (mode %04o)", static_cast<unsigned>(st.st_mode & 07777)));
}

}  // namespace

adapter_lock& adapter_lock::operator=(adapter_lock&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

adapter_lock::~adapter_lock() {
    if (fd_ >= 0)
        ::close(fd_);
}

adapter_lock::outcome adapter_lock::take(const site& where, const pci_function& fn, adapter_lock& out) {
    const std::string& dir = where.lock_dir;
    if (dir.empty())
        return outcome::locked;  // a site without locks (an in-memory simulation)
    check_lock_dir(dir);
    const std::string path = dir + "/romwright-" + eeprom_name(where, fn) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (errno == ELOOP)
            unsafe_lock(path, "it is a symbolic link");
        throw failure(error_kind::failed, strprintf("ERROR: cannot create the adapter lock file %s: %s\n", path.c_str(),
                                                    std::strerror(errno)));
    }
    adapter_lock held;
    held.fd_ = fd;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        unsafe_lock(path, "it is not a plain file");
    if (st.st_uid != geteuid())
        unsafe_lock(path, strprintf("it belongs to user %u", static_cast<unsigned>(st.st_uid)));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return outcome::in_use;
        throw failure(error_kind::failed,
                      strprintf("ERROR: cannot lock %s: %s\n", path.c_str(), std::strerror(errno)));
    }
    out = std::move(held);
    return outcome::locked;
}

pci_function find_function(platform& p, const adapter_address& addr) {
    const std::vector<pci_function> found = match_pci_functions(p.scan(), addr);
    if (found.empty())
        throw failure(error_kind::failed, strprintf("Unable to find device  %x:*\n", ADAPTER_VENDOR_ID));

    if (found.size() > 1) {
        // Bus numbers repeat across PCI domains (on POWER every host bridge
        // is a domain of its own): picking one would be a guess.
        std::string msg = strprintf("ERROR: %zu PCI functions match -b %02x:%02x.%x:\n", found.size(),
                                    static_cast<unsigned>(addr.bus), static_cast<unsigned>(addr.slot),
                                    static_cast<unsigned>(addr.function));
        for (const pci_function& fn : found)
            msg += "  " + function_address(fn) + "\n";
        msg += "Name one with its domain, for example: -b " + function_address(found[0]) + "\n";
        throw failure(error_kind::failed, msg);
    }
    return found.front();
}

adapter_lock lock_adapter(const site& where, const pci_function& fn) {
    adapter_lock lock;
    if (adapter_lock::take(where, fn, lock) == adapter_lock::outcome::in_use)
        throw failure(error_kind::failed,
                      strprintf("ERROR: the adapter at %s is in use by another romwright run; try again when it has "
                                "finished\n",
                                function_address(fn).c_str()));
    return lock;
}

std::unique_ptr<adapter_session> open_adapter(platform& p, const site& where, const adapter_address& addr,
                                              observer& obs) {
    return open_function(p, where, find_function(p, addr), obs);
}

namespace {

// fn's window, or the failure that says why the kernel refused it and how
// to go on.
std::unique_ptr<register_window> map_window(platform& p, const site& where, const pci_function& fn) {
    if (where.refuses_before_mapping) {
        // A locked-down kernel opens no /dev/mem; one built with
        // STRICT_DEVMEM maps no registers that a driver holds.
        if (closes_devmem(where.lockdown))
            throw devmem_failure(devmem_step::open, fn, where.devmem, EPERM, where.lockdown);
        if (!fn.driver.empty())
            throw devmem_failure(devmem_step::map, fn, where.devmem, EPERM, where.lockdown);
    }
    mapped_window mapped = p.map(fn);
    if (const devmem_refusal* refused = std::get_if<devmem_refusal>(&mapped))
        throw devmem_failure(refused->step, fn, where.devmem, refused->err, where.lockdown);
    return std::move(std::get<std::unique_ptr<register_window>>(mapped));
}

}  // namespace

void refuse_foreign_function(const pci_function& fn) {
    // A misspelt address may name a GPU or a disk controller: its BAR0
    // offsets mean something else there, and the writes that follow (VPD
    // timer, backdoor) would land in another maker's registers.
    if (fn.vendor_id != ADAPTER_VENDOR_ID)
        throw failure(error_kind::failed,
                      strprintf("ERROR: the PCI function at %s is not an adapter romwright serves (vendor:device "
                                "%04x:%04x, not vendor %04x); nothing was touched\n",
                                function_address(fn).c_str(), static_cast<unsigned>(fn.vendor_id),
                                static_cast<unsigned>(fn.device_id), ADAPTER_VENDOR_ID));
}

std::unique_ptr<adapter_session> open_function(platform& p, const site& where, const pci_function& fn,
                                               observer& obs) {
    refuse_foreign_function(fn);
    // An I/O BAR, or none at all, is no register window: mapping it through
    // /dev/mem would reach system memory instead of the adapter.
    if ((fn.base_addr0 & 1u) != 0 || bar0_physical(fn.base_addr0) == 0)
        throw failure(error_kind::failed,
                      strprintf("ERROR: the PCI function at %s has no memory BAR0 to map (BAR0 reads 0x%llx)\n",
                                function_address(fn).c_str(), static_cast<unsigned long long>(fn.base_addr0)));
    // A function that no driver has enabled may have memory decoding off:
    // its window then reads 0 (or all ones) and drops writes.
    if (!fn.memory_decoding)
        throw failure(error_kind::failed,
                      strprintf("ERROR: memory decoding is off for the PCI function at %s, so its registers cannot be "
                                "reached; turn it on with: echo 1 > %s/devices/%s/enable (or bind the adapter's "
                                "driver)\n",
                                function_address(fn).c_str(), "/sys/bus/pci", function_address(fn).c_str()));
    auto session =
        std::make_unique<adapter_session>(p, where, fn, lock_adapter(where, fn), map_window(p, where, fn), obs);
    disable_vpd_timer(*session);
    return session;
}
