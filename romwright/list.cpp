// The list command: the host's PCI functions of the served vendor, with
// their IDs, BAR0, bound driver and whether another run holds their lock.
#include <unistd.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "adapter/adapter.h"
#include "common/exit_status.h"
#include "romwright/command_line.h"
#include "romwright/romwright.h"

namespace {

using json = nlohmann::ordered_json;

enum class lock_state { free, in_use, unknown };

// Takes the function's lock without waiting and lets go of it at once.
lock_state probe_lock(const pci_function& fn) {
    std::string err;
    const int fd = g_platform->lock(fn, err);
    if (fd >= 0) {
        close(fd);
        return lock_state::free;
    }
    if (fd == -2)
        return lock_state::in_use;
    // Not the command's result: a note beside it.
    std::fprintf(stderr, "romwright: %s", err.c_str());
    return lock_state::unknown;
}

std::string address_of(const pci_function& fn) {
    return strprintf("%04x:%02x:%02x.%x", fn.domain, fn.bus, fn.dev, fn.func);
}

}  // namespace

int list_adapters(bool json_output) {
    std::vector<pci_function> all;
    std::string err;
    if (g_platform->scan(all, err) != 0)
        throw exit_error(EXIT_STATUS_FAILED, err);

    json adapters = json::array();
    std::string text;
    for (const pci_function& fn : all) {
        if (fn.vendor_id != ADAPTER_VENDOR_ID)
            continue;
        const lock_state lock = probe_lock(fn);
        const uint64_t bar0 = bar0_physical(fn.base_addr0);
        text += strprintf("%s  %04x:%04x  BAR0 0x%llx  driver %s  %s\n", address_of(fn).c_str(), fn.vendor_id,
                          fn.device_id, static_cast<unsigned long long>(bar0),
                          fn.driver.empty() ? "none" : fn.driver.c_str(),
                          lock == lock_state::free     ? "not in use"
                          : lock == lock_state::in_use ? "in use by another romwright run"
                                                       : "lock state unknown");
        adapters.push_back({{"address", address_of(fn)},
                            {"vendor", strprintf("%04x", fn.vendor_id)},
                            {"device", strprintf("%04x", fn.device_id)},
                            {"bar0", strprintf("0x%llx", static_cast<unsigned long long>(bar0))},
                            {"driver", fn.driver.empty() ? json(nullptr) : json(fn.driver)},
                            {"in_use", lock == lock_state::unknown ? json(nullptr) : json(lock == lock_state::in_use)}});
    }
    const int status = adapters.empty() ? EXIT_STATUS_FAILED : EXIT_STATUS_OK;
    if (json_output) {
        const json doc = {{"adapters", adapters}, {"status", status}};
        std::puts(doc.dump(2).c_str());
    } else if (adapters.empty()) {
        std::printf("No PCI function with vendor ID %04x found\n", ADAPTER_VENDOR_ID);
    } else {
        std::fputs(text.c_str(), stdout);
    }
    return status;
}
