// Adapters in service: the path a run takes to an adapter whose registers a
// driver holds or the kernel keeps, and the words that say so.
#include "romwright/in_service.h"

#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "eeprom/journal.h"
#include "romwright/messages.h"

namespace {

bool same_device(const pci_function& a, const pci_function& b) {
    return a.domain == b.domain && a.bus == b.bus && a.dev == b.dev;
}

// The unbind and bind lines of each function bound.
std::string unbind_lines(const std::vector<pci_function>& bound, const char* verb) {
    std::string text;
    for (const pci_function& b : bound)
        text += strprintf("  echo %s > /sys/bus/pci/drivers/%s/%s\n", function_address(b).c_str(), b.driver.c_str(),
                          verb);
    return text;
}

// "0000:04:00.0 (driver rwnic) and 0000:04:00.1 (driver rwnic)"
std::string held_text(const std::vector<pci_function>& bound) {
    std::string held;
    for (size_t i = 0; i < bound.size(); ++i)
        held += strprintf("%s%s (driver %s)", i == 0 ? "" : i + 1 == bound.size() ? " and " : ", ",
                          function_address(bound[i]).c_str(), bound[i].driver.c_str());
    return held;
}

// The refusal the kernel gave for fn's window, read from the failure's
// facts; none for any other failure.
std::optional<devmem_refusal> devmem_refusal_of(const failure& f) {
    const std::string step = fact_value(f.facts(), "devmem_step");
    if (step.empty())
        return std::nullopt;
    return devmem_refusal{step == "open" ? devmem_step::open : devmem_step::map,
                          std::atoi(fact_value(f.facts(), "errno").c_str())};
}

// Why an automatic choice took the kernel's file for fn.
vpd_read_path kernel_path_for(const request& rq, const site& where, const pci_function& fn,
                              const std::optional<devmem_refusal>& refused) {
    vpd_read_path path;
    path.via = vpd_source::kernel;
    if (rq.via == vpd_source_choice::kernel) {
        path.why = vpd_read_path::cause::asked;
    } else if (!fn.driver.empty()) {
        path.why = vpd_read_path::cause::driver;
        path.detail = fn.driver;
    } else if (closes_devmem(where.lockdown)) {
        path.why = vpd_read_path::cause::lockdown;
        path.detail = where.lockdown;
    } else {
        path.why = vpd_read_path::cause::refused;
        path.detail = refused ? std::strerror(refused->err) : "";
    }
    path.file = kernel_vpd_path(where, fn);
    return path;
}

// -plan of rq's change on fn where the EEPROM cannot be read whole (why
// says so): the row's run without a session makes the outline of its
// extent; copy 0 comes through fn's kernel VPD file, under the adapter
// lock, no register touched.  A file the kernel refuses is named with what
// it said; any other failure (another run holds the adapter) ends the run.
void outline_plan(platform& p, const site& where, const request& rq, const pci_function& fn, image_file* image,
                  observer& obs, std::string why, run_outcome& o) {
    outline_view v;
    v.why = std::move(why);
    v.vpd_file = kernel_vpd_path(where, fn);
    try {
        const vpd_report r = make_kernel_copy_report(read_function_kernel_vpd(p, where, fn).bytes);
        v.copy0_state = copy_state_name(r.copies.front().info);
        v.copy0_identity = identity_of_copy(r.copies.front().bytes.data());
    } catch (const failure& f) {
        v.unread = fact_value(f.facts(), "reason");
        if (v.unread.empty())
            throw;
    }
    o.adapter = function_address(fn);
    o.opened = true;
    o.interrupted = read_journal(where, fn);
    if (o.interrupted)
        obs.note(interrupted_note(*o.interrupted, o.adapter));
    o.outline = std::move(v);
    command_context ctx{p, where, rq, obs, nullptr, image};
    rq.command->run(ctx, o);
}

// vpd through fn's kernel VPD file: copy 0 as the file shows it, under the
// adapter lock, no window mapped.  A refused or missing file is named with
// what the kernel said: the kernel refuses the file when copy 0 is blank.
void read_through_kernel(platform& p, const site& where, const pci_function& fn, observer& obs, run_outcome& o) {
    kernel_vpd k;
    try {
        k = read_function_kernel_vpd(p, where, fn);
    } catch (const failure& f) {
        const std::string reason = fact_value(f.facts(), "reason");
        if (reason.empty())
            throw;  // not the file's: another run holds the adapter, another vendor's function
        failure named(error_kind::failed,
                      strprintf("ERROR: copy 0 of the VPD of %s is blank or missing, or the kernel cannot read "
                                "it: its VPD file %s says: %s.\n"
                                "The kernel fails the read of its VPD file (or shows none) when copy 0 is blank or "
                                "missing (its first byte 0x00 or 0xFF), and when the VPD capability does not "
                                "answer.\n%s",
                                o.adapter.c_str(), o.vpd_path->file.c_str(), reason.c_str(),
                                full_check_text(o).c_str()));
        for (const failure::fact& fact : f.facts())
            named = named.with_fact(fact.first, fact.second);
        throw named;
    }
    o.interrupted = read_journal(where, fn);
    if (o.interrupted)
        obs.note(interrupted_note(*o.interrupted, o.adapter));
    o.vpd_path->file_bytes = k.bytes.size();
    vpd_report r = make_kernel_copy_report(k.bytes);
    o.vpd_path->copies_read = r.copies.size();
    o.output = std::move(r);
}

}  // namespace

const char* vpd_source_word(vpd_source s) { return s == vpd_source::kernel ? "kernel" : "registers"; }

std::vector<pci_function> functions_in_service(const std::vector<pci_function>& all, const pci_function& fn) {
    std::vector<pci_function> bound;
    for (const pci_function& f : all)
        if (same_device(f, fn) && !f.driver.empty())
            bound.push_back(f);
    return bound;
}

failure in_service_refusal(const request& rq, const pci_function& fn, const std::vector<pci_function>& bound) {
    const char* word = rq.command->word;
    const std::string at = function_address(fn);
    const std::string held = held_text(bound);
    std::string text =
        rq.change.plan_only
            ? strprintf("ERROR: the adapter at %s is in service: a kernel driver is bound to %s, so this plan of %s "
                        "could not be applied: it would write the EEPROM and reset the chip under the driver.  "
                        "Nothing was mapped or touched.\n",
                        at.c_str(), held.c_str(), word)
            : strprintf("ERROR: the adapter at %s is in service: a kernel driver is bound to %s, and %s would "
                        "write the EEPROM and reset the chip under it.  Nothing was mapped or touched.\n",
                        at.c_str(), held.c_str(), word);
    text += "To go on, unbind the driver (the adapter's port is out of service until it is bound back):\n" +
            unbind_lines(bound, "unbind") + "run romwright again, then bind the driver back:\n" +
            unbind_lines(bound, "bind");
    return failure(error_kind::failed, text)
        .with_fact("driver", bound.front().driver)
        .with_fact("in_service", function_address(bound.front()));
}

void run_on_adapter(platform& p, const site& where, const request& rq, const pci_function& fn,
                    const std::vector<pci_function>* all, image_file* image, observer& obs, run_outcome& o) {
    const command_row& row = *rq.command;
    if (row.changes_eeprom()) {
        const std::vector<pci_function> bound = functions_in_service(all ? *all : p.scan(), fn);
        if (!bound.empty()) {
            o.adapter = function_address(fn);
            const failure refusal = in_service_refusal(rq, fn, bound);
            if (rq.change.plan_only)
                outline_plan(p, where, rq, fn, image, obs, "a kernel driver is bound to " + held_text(bound), o);
            throw refusal;
        }
    }
    if (!row.takes(TAKES_VIA)) {
        std::unique_ptr<adapter_session> s;
        try {
            s = open_function(p, where, fn, obs);
        } catch (const failure& f) {
            const std::optional<devmem_refusal> refused = devmem_refusal_of(f);
            if (row.changes_eeprom() && rq.change.plan_only && refused)
                outline_plan(p, where, rq, fn, image, obs,
                             closes_devmem(where.lockdown)
                                 ? strprintf("the kernel is locked down (mode %s) and keeps /dev/mem closed",
                                             where.lockdown.c_str())
                                 : strprintf("the kernel refused to map its registers (%s)",
                                             std::strerror(refused->err)),
                             o);
            throw;
        }
        run_on_session(*s, rq, image, o);
        return;
    }
    std::optional<devmem_refusal> refused;
    std::unique_ptr<adapter_session> s;
    if (choose_vpd_source(rq.via, fn, where.lockdown, std::nullopt) == vpd_source::registers) {
        o.vpd_path = vpd_read_path();
        try {
            s = open_function(p, where, fn, obs);
        } catch (const failure& f) {
            refused = devmem_refusal_of(f);
            if (!refused)
                throw;
            if (choose_vpd_source(rq.via, fn, where.lockdown, refused) == vpd_source::registers) {
                o.adapter = function_address(fn);  // vpd's document, which names the path taken
                o.opened = true;
                throw;
            }
        }
    }
    if (s) {
        run_on_session(*s, rq, image, o);
        return;
    }
    o.adapter = function_address(fn);
    o.opened = true;
    o.vpd_path = kernel_path_for(rq, where, fn, refused);
    read_through_kernel(p, where, fn, obs, o);
    if (rq.command->verdict)
        rq.command->verdict(o);
}

std::string kernel_view_note(const run_outcome& o) {
    if (!o.vpd_path || o.vpd_path->via != vpd_source::kernel)
        return "";
    const vpd_read_path& path = *o.vpd_path;
    const char* at = o.adapter.c_str();
    switch (path.why) {
    case vpd_read_path::cause::asked:
        return strprintf("Read through the kernel's VPD file %s (-via kernel): copy 0 only.\n", path.file.c_str());
    case vpd_read_path::cause::driver:
        return strprintf("Read through the kernel's VPD file %s, as the driver %s is bound to %s: copy 0 only.\n",
                         path.file.c_str(), path.detail.c_str(), at);
    case vpd_read_path::cause::lockdown:
        return strprintf("Read through the kernel's VPD file %s, as the kernel is locked down (mode %s) and keeps "
                         "/dev/mem closed: copy 0 only.\n",
                         path.file.c_str(), path.detail.c_str());
    case vpd_read_path::cause::refused:
        return strprintf("Read through the kernel's VPD file %s, as the kernel refused to map the registers of %s "
                         "(%s): copy 0 only.\n",
                         path.file.c_str(), at, path.detail.c_str());
    }
    return "";
}

std::string full_check_text(const run_outcome& o) {
    if (!o.vpd_path || o.vpd_path->via != vpd_source::kernel)
        return "";
    const vpd_read_path& path = *o.vpd_path;
    const char* at = o.adapter.c_str();
    const std::string text =
        "This is not the full check: the other copies and whether all copies agree are not read.  The full check "
        "reads the registers";
    if (path.why == vpd_read_path::cause::lockdown)
        return text + " (-via registers) on a kernel that is not locked down.\n";
    if (path.why == vpd_read_path::cause::driver)
        return text + strprintf(" with the driver unbound (the port is out of service meanwhile):\n"
                                "  echo %s > /sys/bus/pci/drivers/%s/unbind\n"
                                "  romwright -b %s vpd -via registers\n"
                                "  echo %s > /sys/bus/pci/drivers/%s/bind\n",
                                at, path.detail.c_str(), at, at, path.detail.c_str());
    return text + strprintf(": romwright -b %s vpd -via registers\n", at);
}
