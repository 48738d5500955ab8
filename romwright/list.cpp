// The list command.
#include "romwright/list.h"

#include "common/error.h"
#include "common/escaping.h"
#include "romwright/messages.h"

namespace {

list_result::lock_state probe_lock(const site& where, const pci_function& fn, observer& obs) {
    try {
        adapter_lock lock;
        return adapter_lock::take(where, fn, lock) == adapter_lock::outcome::locked ? list_result::lock_state::free
                                                                                : list_result::lock_state::in_use;
    } catch (const failure& e) {
        // Not the command's result: a note beside it.
        obs.note("romwright: " + message_of(e));
        return list_result::lock_state::unknown;
    }
}

std::optional<journal_record> probe_journal(const site& where, const pci_function& fn, observer& obs) {
    try {
        return read_journal(where, fn);
    } catch (const failure& e) {
        obs.note("romwright: " + message_of(e));
        return std::nullopt;
    }
}

// "; a change did not finish: `write -f:img.bin`, begun 2027-01-15T08:00:00Z"
std::string interruption_text(const std::optional<journal_record>& j) {
    if (!j)
        return "";
    const std::string when = j->time ? utc_time_text(j->time) : "";
    return "; a change did not finish: `" + terminal_text(j->command) + "`, begun " +
           (when.empty() ? "at an unknown time" : when);
}

}  // namespace

list_result list_adapters(platform& p, const site& where, observer& obs) {
    list_result r;
    for (const pci_function& fn : p.scan())
        if (fn.vendor_id == ADAPTER_VENDOR_ID)
            r.adapters.push_back({fn, probe_lock(where, fn, obs), probe_journal(where, fn, obs)});
    return r;
}

std::string render_list_text(const list_result& r) {
    if (r.adapters.empty())
        return strprintf("No PCI function with vendor ID %04x found\n", ADAPTER_VENDOR_ID);
    std::string text;
    for (const list_result::entry& e : r.adapters) {
        const pci_function& fn = e.fn;
        text += strprintf("%s  %04x:%04x  BAR0 0x%llx  driver %s  %s%s\n", function_address(fn).c_str(),
                          fn.vendor_id, fn.device_id, static_cast<unsigned long long>(bar0_physical(fn.base_addr0)),
                          fn.driver.empty() ? "none" : fn.driver.c_str(),
                          e.lock == list_result::lock_state::free     ? "not in use"
                          : e.lock == list_result::lock_state::in_use ? "in use by another romwright run"
                                                                      : "lock state unknown",
                          interruption_text(e.interrupted).c_str());
    }
    return text;
}

json_value list_json(const list_result& r) {
    json_value adapters = json_value::array();
    for (const list_result::entry& e : r.adapters) {
        const pci_function& fn = e.fn;
        json_value entry = {
            {"address", function_address(fn)},
            {"vendor", strprintf("%04x", fn.vendor_id)},
            {"device", strprintf("%04x", fn.device_id)},
            {"bar0", strprintf("0x%llx", static_cast<unsigned long long>(bar0_physical(fn.base_addr0)))},
            {"driver", fn.driver.empty() ? json_value(nullptr) : json_value(fn.driver)},
            {"in_use", e.lock == list_result::lock_state::unknown ? json_value(nullptr)
                                                                  : json_value(e.lock == list_result::lock_state::in_use)}};
        if (e.interrupted)
            entry["interrupted"] = interrupted_json(*e.interrupted);
        adapters.push_back(entry);
    }
    return adapters;
}
