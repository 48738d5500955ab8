// The list command: the host's PCI functions of the served vendor, with
// their IDs, BAR0, bound driver and whether another run holds their lock.
#pragma once

#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/journal.h"
#include "romwright/render.h"

struct list_result {
    enum class lock_state { free, in_use, unknown };
    struct entry {
        pci_function fn;
        lock_state lock;
        std::optional<journal_record> interrupted;  // a change on it that did not finish
    };
    std::vector<entry> adapters;  // none: the run fails
};

// Scans and probes each adapter's lock (taken and let go at once) and looks
// for the journal of a change that did not finish; a lock or journal that
// cannot be probed is noted to obs.  Throws failure when the scan fails.
list_result list_adapters(platform& p, const site& where, observer& obs);
std::string render_list_text(const list_result& r);
// The adapters as the list document holds them.
json_value list_json(const list_result& r);
