// The real platform: libpci for the lookup, /dev/mem for the register
// window, sysfs for the kernel's VPD file, the host's clock; and the real
// system's site.
#pragma once

#include <string>
#include <vector>

#include "adapter/platform.h"
#include "adapter/site.h"

struct pci_dev;
struct pci_access;

// Where the real system keeps things; the defaults are the system's, tests
// name scratch places.
struct host_places {
    std::string sysfs = "/sys/bus/pci";  // also libpci's "sysfs.path" when not the default
    std::string mem = "/dev/mem";       // the device-memory file mapped for the window
    std::string lock_dir = "/run/romwright";
    std::string backup_dir = "/var/lib/romwright/backups";
    std::string journal_dir = "/var/lib/romwright/journal";
    std::string history_file = "/var/lib/romwright/history.jsonl";
    std::string approved_list = "/etc/romwright/approved-images";
    std::string lockdown = "/sys/kernel/security/lockdown";  // the kernel's lockdown modes, the selected one bracketed
};

// The site of places: its folders, the device-memory file as the platform
// file, and the lockdown mode the kernel selects now (none said when the
// lockdown file is missing: kernels without the lockdown module, or
// without securityfs mounted).
site host_site(const host_places& places = host_places());

class host_platform : public platform {
public:
    explicit host_platform(host_places places = host_places()) : places_(std::move(places)) {}
    ~host_platform() override;

    std::vector<pci_function> scan() override;
    mapped_window map(const pci_function& fn) override;
    vpd_file read_vpd_file(const site& where, const pci_function& fn) override;
    int64_t clock_us(const pci_function& fn) override;
    bool sleep_until_us(const pci_function& fn, int64_t deadline_us) override;

private:
    host_places places_;
    host_clock clock_;
    // libpci's access record and device list, kept while the platform
    // lives (nothing it returned is used after the scan).
    struct pci_access* pacc_ = nullptr;
};

// The selected mode of a lockdown file's text ("none [integrity]
// confidentiality" selects integrity); empty when none is bracketed.
std::string selected_lockdown(const std::string& text);

// The functions of a libpci device list, in list order.
std::vector<pci_function> host_collect_functions(const struct pci_dev* head, const std::string& sysfs);
