// Adapter lookup: finds the PCI function named by -b, refuses an ambiguous
// address, locks the adapter against a second run and maps its window.
#include <unistd.h>

#include "adapter/adapter.h"
#include "common/exit_status.h"

namespace {
int g_lock_fd = -1;
pci_function g_mapped = {0, 0, 0, 0, 0};
}  // namespace

const pci_function& mapped_function() { return g_mapped; }

std::vector<pci_function> match_pci_functions(const std::vector<pci_function>& list,
                                              const adapter_address& addr) {
    std::vector<pci_function> out;
    for (const pci_function& fn : list) {
        // The scan's fields are 8-bit: a bus, slot or function above 255
        // (or negative) matches nothing.
        if (fn.bus == addr.bus && fn.dev == addr.slot && fn.func == addr.function &&
            (!addr.has_domain || fn.domain == addr.domain))
            out.push_back(fn);
    }
    return out;
}

int dev_find_n_map(const adapter_address& addr) {
    std::vector<pci_function> all;
    std::string err;
    if (g_platform->scan(all, err) != 0)
        throw exit_error(EXIT_STATUS_FAILED, err);

    std::vector<pci_function> found = match_pci_functions(all, addr);
    if (found.empty())
        return 0;

    if (found.size() > 1) {
        // Bus numbers repeat across PCI domains (on POWER every host bridge
        // is a domain of its own): picking one would be a guess.
        std::string msg = strprintf("ERROR: %zu PCI functions match -b %02x:%02x.%x:\n", found.size(),
                                    static_cast<unsigned>(addr.bus), static_cast<unsigned>(addr.slot),
                                    static_cast<unsigned>(addr.function));
        for (const pci_function& fn : found)
            msg += strprintf("  %04x:%02x:%02x.%x\n", fn.domain, fn.bus, fn.dev, fn.func);
        msg += strprintf("Name one with its domain, for example: -b %04x:%02x:%02x.%x\n", found[0].domain,
                         found[0].bus, found[0].dev, found[0].func);
        throw exit_error(EXIT_STATUS_FAILED, msg);
    }

    const pci_function& fn = found.front();
    // An I/O BAR, or none at all, is no register window: mapping it through
    // /dev/mem would reach system memory instead of the adapter.
    if ((fn.base_addr0 & 1u) != 0 || bar0_physical(fn.base_addr0) == 0)
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("ERROR: the PCI function at %04x:%02x:%02x.%x has no memory BAR0 to map "
                                   "(BAR0 reads 0x%llx)\n",
                                   fn.domain, fn.bus, fn.dev, fn.func,
                                   static_cast<unsigned long long>(fn.base_addr0)));
    // A function that no driver has enabled may have memory decoding off:
    // its window then reads 0 (or all ones) and drops writes.
    if (!fn.memory_decoding)
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("ERROR: memory decoding is off for the PCI function at %04x:%02x:%02x.%x, so its "
                                   "registers cannot be reached; turn it on with: echo 1 > "
                                   "/sys/bus/pci/devices/%04x:%02x:%02x.%x/enable (or bind the adapter's driver)\n",
                                   fn.domain, fn.bus, fn.dev, fn.func, fn.domain, fn.bus, fn.dev, fn.func));
    int fd = g_platform->lock(fn, err);
    if (fd == -2)
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("ERROR: the adapter at %04x:%02x:%02x.%x is in use by another romwright run; "
                                   "try again when it has finished\n",
                                   fn.domain, fn.bus, fn.dev, fn.func));
    if (fd < 0)
        throw exit_error(EXIT_STATUS_FAILED, err);
    g_lock_fd = fd;
    g_adapter_function = fn;
    try {
        map_dev_ioregion_create(bar0_physical(fn.base_addr0));
    } catch (...) {
        release_adapter_lock();
        throw;
    }
    g_mapped = fn;
    return 1;
}

void release_adapter_lock() {
    if (g_lock_fd >= 0) {
        close(g_lock_fd);
        g_lock_fd = -1;
    }
}
