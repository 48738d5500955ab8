// Adapters in service: a kernel driver bound to a function of the adapter's
// device, or registers the kernel does not let this program map.  Reads of
// the VPD then go through the kernel's VPD file (copy 0 only); changes are
// refused before anything is mapped.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "romwright/command_rows.h"

// The functions of fn's device (same domain:bus:slot) among all that have a
// kernel driver bound, in scan order.
std::vector<pci_function> functions_in_service(const std::vector<pci_function>& all, const pci_function& fn);

// The refusal (1) of rq's change on fn's device while the functions bound
// hold their drivers: each driver with its unbind and bind lines; under
// -plan, that the plan (an outline, shown before it) could not be applied.
// Facts: "driver" (the first bound function's), "in_service" (its address).
failure in_service_refusal(const request& rq, const pci_function& fn, const std::vector<pci_function>& bound);

// The word of a source: "kernel" or "registers".
const char* vpd_source_word(vpd_source s);

// One command's run on the adapter at fn, as a single -b and each adapter of
// several run it: a change is refused while a driver is bound to any
// function of the device (all: the host's functions; nullptr: scanned
// here), before anything is locked or mapped; its -plan there, or where
// the registers cannot be mapped, is an outline from the command's range
// with copy 0 as the kernel's VPD file shows it (o.outline), and the run
// still fails; a read of the VPD takes the
// source choose_vpd_source() gives (a window the kernel refuses sends an
// automatic choice to the kernel's file); every other command opens the
// adapter.  Throws failure after o has been brought up to date.
void run_on_adapter(platform& p, const site& where, const request& rq, const pci_function& fn,
                    const std::vector<pci_function>* all, image_file* image, observer& obs, run_outcome& o);

// What vpd says of copies read through the kernel's VPD file: the line that
// says which file and why; the lines that say what was not read and what
// the full check needs.  Empty for a read through the registers.
std::string kernel_view_note(const run_outcome& o);
std::string full_check_text(const run_outcome& o);
