// The register window record and its life.
#include "adapter/adapter.h"
#include "common/exit_status.h"

pci_dev_iomem g_pci_dev_iomem = {0, nullptr};
pci_function g_adapter_function = {0, 0, 0, 0, 0};
const platform_ops* g_platform = nullptr;

namespace {
bool g_window_mapped = false;
}

void map_dev_ioregion_create(uint64_t phys) {
    std::string err;
    pci_dev_iomem win = {-1, nullptr};
    if (g_platform->map(phys, win, err) != 0)
        throw exit_error(EXIT_STATUS_FAILED, err);
    g_pci_dev_iomem = win;
    g_window_mapped = true;
}

void map_dev_ioregion_destroy() {
    if (g_window_mapped) {
        g_platform->unmap(g_pci_dev_iomem);
        g_window_mapped = false;
    }
    release_adapter_lock();
}
