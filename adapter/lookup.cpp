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

failure devmem_failure(devmem_step step, const pci_function& fn, const std::string& mem, int err,
                       const std::string& lockdown) {
    failure f(error_kind::failed,
              step == devmem_step::open ? reason::devmem_open_refused : reason::devmem_map_refused);
    f.with("path", mem)
        .with("errno", int64_t{err})
        .with("address", function_address(fn))
        .with("driver", fn.driver)
        .with("lockdown", lockdown)
        .with("window", static_cast<int64_t>(bar0_physical(fn.base_addr0)));
    return f.with_fact("devmem_step", step == devmem_step::open ? "open" : "map").with_fact("errno", std::to_string(err));
}

namespace {

[[noreturn]] void unsafe_lock(reason why, const std::string& path, int64_t value = 0) {
    throw failure(error_kind::failed, why).with("path", path).with(why == reason::lock_folder_writable ? "mode" : "uid", value);
}

[[noreturn]] void lock_error(reason why, const std::string& path, int err) {
    throw failure(error_kind::failed, why).with("path", path).with("errno", int64_t{err});
}

// The lock folder: made with mode 0700 when missing; a link, a folder of
// another user or one that others may write is refused.
void check_lock_dir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        lock_error(reason::lock_folder_create, dir, errno);
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        lock_error(reason::lock_folder_read, dir, errno);
    if (!S_ISDIR(st.st_mode))
        unsafe_lock(reason::lock_not_folder, dir);
    if (st.st_uid != geteuid())
        unsafe_lock(reason::lock_folder_owner, dir, int64_t{st.st_uid});
    if ((st.st_mode & 022) != 0)
        unsafe_lock(reason::lock_folder_writable, dir, int64_t{st.st_mode & 07777});
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
            unsafe_lock(reason::lock_is_link, path);
        lock_error(reason::lock_file_create, path, errno);
    }
    adapter_lock held;
    held.fd_ = fd;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        unsafe_lock(reason::lock_not_plain, path);
    if (st.st_uid != geteuid())
        unsafe_lock(reason::lock_owner, path, int64_t{st.st_uid});
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return outcome::in_use;
        lock_error(reason::lock_failed, path, errno);
    }
    out = std::move(held);
    return outcome::locked;
}

pci_function find_function(platform& p, const adapter_address& addr) {
    const std::vector<pci_function> found = match_pci_functions(p.scan(), addr);
    if (found.empty())
        throw failure(error_kind::failed, reason::device_not_found).with("vendor", int64_t{ADAPTER_VENDOR_ID});

    if (found.size() > 1) {
        // Bus numbers repeat across PCI domains (on POWER every host bridge
        // is a domain of its own): picking one would be a guess.
        failure f(error_kind::failed, reason::several_functions);
        f.with("bus", int64_t{addr.bus}).with("slot", int64_t{addr.slot}).with("function", int64_t{addr.function});
        for (const pci_function& fn : found)
            f.with("match", function_address(fn));
        throw f;
    }
    return found.front();
}

adapter_lock lock_adapter(const site& where, const pci_function& fn) {
    adapter_lock lock;
    if (adapter_lock::take(where, fn, lock) == adapter_lock::outcome::in_use)
        throw failure(error_kind::failed, reason::adapter_in_use).with("address", function_address(fn));
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
        throw failure(error_kind::failed, reason::not_served_adapter)
            .with("address", function_address(fn))
            .with("vendor", int64_t{fn.vendor_id})
            .with("device", int64_t{fn.device_id})
            .with("served_vendor", int64_t{ADAPTER_VENDOR_ID});
}

std::unique_ptr<adapter_session> open_function(platform& p, const site& where, const pci_function& fn,
                                               observer& obs) {
    refuse_foreign_function(fn);
    // An I/O BAR, or none at all, is no register window: mapping it through
    // /dev/mem would reach system memory instead of the adapter.
    if ((fn.base_addr0 & 1u) != 0 || bar0_physical(fn.base_addr0) == 0)
        throw failure(error_kind::failed, reason::no_memory_bar0)
            .with("address", function_address(fn))
            .with("bar0", static_cast<int64_t>(fn.base_addr0));
    // A function that no driver has enabled may have memory decoding off:
    // its window then reads 0 (or all ones) and drops writes.
    if (!fn.memory_decoding)
        throw failure(error_kind::failed, reason::memory_decoding_off).with("address", function_address(fn));
    auto session =
        std::make_unique<adapter_session>(p, where, fn, lock_adapter(where, fn), map_window(p, where, fn), obs);
    disable_vpd_timer(*session);
    return session;
}
