// The real platform: libpci for the lookup, /dev/mem for the register
// window, the wall clock.
#pragma once

#include <vector>

#include "adapter/platform.h"

struct pci_dev;

extern const platform_ops host_platform;

// The functions of a libpci device list, in list order.
std::vector<pci_function> host_collect_functions(const struct pci_dev* head);

// Test seams only; production never calls these.  nullptr restores the
// default.  sysfs: libpci's "sysfs.path" parameter; mem: the device-memory
// file mapped for the window ("/dev/mem"); lock_dir: where adapter lock files
// live ("/run/lock"); backup_dir: where backups are kept
// ("/var/lib/romwright/backups").
void host_set_sysfs_path(const char* path);
void host_set_mem_path(const char* path);
void host_set_lock_dir(const char* path);
void host_set_backup_dir(const char* path);
