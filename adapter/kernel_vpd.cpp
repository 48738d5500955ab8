// The kernel's view of an adapter's VPD: its VPD file read under the
// adapter lock, with no window mapped; and the choice between it and the
// registers.
#include <cstring>

#include "adapter/adapter.h"
#include "common/error.h"

kernel_vpd read_kernel_vpd(platform& p, const site& where, const adapter_address& addr) {
    return read_function_kernel_vpd(p, where, find_function(p, addr));
}

kernel_vpd read_function_kernel_vpd(platform& p, const site& where, const pci_function& fn) {
    refuse_foreign_function(fn);
    const adapter_lock lock = lock_adapter(where, fn);
    vpd_file file = p.read_vpd_file(where, fn);
    if (const vpd_file_refusal* refused = std::get_if<vpd_file_refusal>(&file)) {
        const std::string path = kernel_vpd_path(where, fn);
        failure f = failure(error_kind::failed, reason::kernel_vpd_unreadable)
                        .with("path", path)
                        .with("errno", int64_t{refused->err})
                        .with("step", refused->step == vpd_file_step::open ? "open" : "read")
                        .with_fact("path", path)
                        .with_fact("errno", std::to_string(refused->err))
                        .with_fact("reason", std::strerror(refused->err));
        throw fn.driver.empty() ? f : f.with_fact("driver", fn.driver);
    }
    return kernel_vpd{fn, std::move(std::get<std::vector<uint8_t>>(file))};
}

vpd_source choose_vpd_source(vpd_source_choice choice, const pci_function& fn, const std::string& lockdown,
                             const std::optional<devmem_refusal>& refused) {
    switch (choice) {
    case vpd_source_choice::registers:
        return vpd_source::registers;
    case vpd_source_choice::kernel:
        return vpd_source::kernel;
    case vpd_source_choice::automatic:
        break;
    }
    return !fn.driver.empty() || closes_devmem(lockdown) || refused ? vpd_source::kernel : vpd_source::registers;
}
