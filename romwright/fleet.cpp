// Several adapters in one run.
#include "romwright/fleet.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "adapter/adapter.h"
#include "common/error.h"
#include "romwright/command_rows.h"
#include "romwright/in_service.h"
#include "romwright/metrics.h"

namespace {

// One adapter of the run: what -b named, the function found, or why none.
struct target {
    std::string label;  // the address shown before its lines
    pci_function fn{};
    bool found = false;
    std::string error;  // when not found
    request rq;         // the run's request, with this adapter's own file
    run_outcome outcome;
};

bool same_device(const pci_function& a, const pci_function& b) {
    return a.domain == b.domain && a.bus == b.bus && a.dev == b.dev;
}

bool address_less(const pci_function& a, const pci_function& b) {
    return std::tie(a.domain, a.bus, a.dev, a.func) < std::tie(b.domain, b.bus, b.dev, b.func);
}

// The adapters rq names, in address order: -b all takes the lowest function
// of every device of the vendor; each -b its one match.  An address that
// matches none or several is an adapter that fails alone.
std::vector<target> targets_of(const std::vector<pci_function>& all, const request& rq) {
    std::vector<pci_function> chosen;
    auto choose = [&](const pci_function& fn) {
        for (pci_function& c : chosen)
            if (same_device(c, fn)) {
                if (fn.func < c.func)
                    c = fn;
                return;
            }
        chosen.push_back(fn);
    };
    std::vector<target> out;
    if (rq.all_adapters)
        for (const pci_function& fn : all)
            if (fn.vendor_id == ADAPTER_VENDOR_ID)
                choose(fn);
    for (const adapter_address& a : rq.addresses) {
        const std::vector<pci_function> m = match_pci_functions(all, a);
        if (m.size() == 1) {
            // Functions of one device share its EEPROM and its lock: one adapter.
            choose(m[0]);
            continue;
        }
        target t;
        t.label = address_text(a);
        t.error = m.empty() ? strprintf("Unable to find device  %x:*\n", ADAPTER_VENDOR_ID)
                            : strprintf("ERROR: %zu PCI functions match -b %s; name one with its domain\n", m.size(),
                                        address_text(a).c_str());
        out.push_back(t);
    }
    std::sort(chosen.begin(), chosen.end(), address_less);
    std::vector<target> found;
    for (const pci_function& fn : chosen) {
        target t;
        t.label = function_address(fn);
        t.fn = fn;
        t.found = true;
        found.push_back(t);
    }
    found.insert(found.end(), out.begin(), out.end());
    return found;
}

void run_one(platform& p, const site& where, const std::vector<pci_function>& all, image_file* image, target& t,
             progress_bar* bar, std::mutex& lines) {
    std::unique_ptr<observer> obs =
        make_prefixed_observer(t.label, t.rq.json, bar, lines, t.rq.metrics_to_stdout() ? stderr : stdout);
    try {
        if (!t.found)
            throw failure(error_kind::failed, t.error);
        if (t.rq.command->file_per_adapter())
            check_read_file(t.rq.file, where, t.rq);  // each adapter's file, as a single read's
        run_on_adapter(p, where, t.rq, t.fn, &all, image, *obs, t.outcome);
    } catch (const failure& e) {
        note_failure(t.outcome, e);
    } catch (const std::exception& e) {
        note_failure(t.outcome, failure(error_kind::failed, strprintf("ERROR: %s\n", e.what())));
    }
    if (t.outcome.adapter.empty())
        t.outcome.adapter = t.label;
    if (!t.rq.json)
        obs->text(outcome_text(t.rq, t.outcome));
}

}  // namespace

std::string file_for_adapter(const std::string& file, const pci_function& fn) {
    const std::string address = strprintf("%04x-%02x-%02x.%x", fn.domain, fn.bus, fn.dev, fn.func);
    const size_t slash = file.rfind('/');
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1 || dot == 0)
        return file + "." + address;
    return file.substr(0, dot) + "." + address + file.substr(dot);
}

void note_not_found(const std::string& address, const std::string& error) {
    if (error == strprintf("Unable to find device  %x:*\n", ADAPTER_VENDOR_ID))
        std::fprintf(stderr,
                     "romwright: no adapter function at -b %s; 'romwright list' shows the adapters of this host\n",
                     address.c_str());
}

int run_several(platform& p, const site& where, const request& rq, image_file* image, progress_bar* bar) {
    const std::vector<pci_function> all = p.scan();
    std::vector<target> targets = targets_of(all, rq);
    for (target& t : targets) {
        t.rq = rq;
        if (rq.command->file_per_adapter() && t.found)
            t.rq.file = file_for_adapter(rq.file, t.fn);
    }
    std::mutex lines;  // every adapter's lines go out whole under it
    std::vector<std::thread> threads;
    for (target& t : targets)
        threads.emplace_back(
            [&p, &where, &all, image, &t, bar, &lines] { run_one(p, where, all, image, t, bar, lines); });
    for (std::thread& th : threads)
        th.join();

    // An address that found no function is named, with where to look.
    for (const target& t : targets)
        if (!t.found)
            note_not_found(t.label, t.error);

    // The run fails with any adapter; a signal is the run's, shown once.
    error_kind kind = targets.empty() ? error_kind::failed : error_kind::none;
    int signal = 0;
    for (target& t : targets) {
        if (exit_status_of(t.outcome.kind) != EXIT_STATUS_OK) {
            t.outcome.kind = error_kind::failed;  // an adapter that fails in any way fails with 1
            kind = error_kind::failed;
        }
        if (!signal)
            signal = t.outcome.signal;
        t.outcome.signal = 0;
    }
    // The boards' identities compared, the metrics written.
    std::optional<identity_verdict> ids;
    if (rq.command->reports_identity()) {
        std::vector<std::pair<std::string, const run_outcome*>> read;
        for (const target& t : targets)
            read.emplace_back(t.outcome.adapter, &t.outcome);
        ids = finish_identity_run(rq, where, read, true);
        if (exit_status_of(ids->kind) != EXIT_STATUS_OK)
            kind = ids->kind;
        if (rq.metrics_status && !rq.prometheus_file.empty() && !ids->metrics_failed)
            kind = error_kind::none;  // the findings are in the metrics
    }
    // Adapters in service were not changed: the run names them.
    std::vector<std::string> skipped;
    std::string skipped_text;
    for (const target& t : targets) {
        const std::string driver = fact_value(t.outcome.facts, "driver");
        if (fact_value(t.outcome.facts, "in_service").empty())
            continue;
        skipped.push_back(t.outcome.adapter);
        skipped_text += strprintf("%s%s (driver %s)", skipped_text.empty() ? "" : ", ", t.outcome.adapter.c_str(),
                                  driver.c_str());
    }
    const int status = exit_status_of(kind, signal);
    if (rq.json) {
        json_value adapters = json_value::array();
        for (const target& t : targets)
            adapters.push_back(outcome_json(t.rq, t.outcome));
        json_value doc = {{"schema_version", JSON_SCHEMA_VERSION}, {"adapters", adapters}};
        if (ids)
            put_identity_check(doc, ids->check);
        if (!skipped.empty())
            doc["skipped"] = skipped;
        if (signal)
            doc["signal"] = deferred_signal_name(signal);
        doc["status"] = status;
        std::fputs(json_text(doc).c_str(), stdout);
        return status;
    }
    FILE* out = rq.metrics_to_stdout() ? stderr : stdout;
    if (targets.empty())
        std::fprintf(out, "No PCI function with vendor ID %04x found\n", ADAPTER_VENDOR_ID);
    if (!skipped.empty())
        std::fprintf(out, "Skipped %zu adapter%s in service, a kernel driver bound, nothing changed on %s: %s\n",
                     skipped.size(), skipped.size() == 1 ? "" : "s", skipped.size() == 1 ? "it" : "them",
                     skipped_text.c_str());
    if (ids)
        std::fputs(ids->metrics_text.c_str(), stdout);
    if (signal)
        std::fprintf(out, "%s (signal %d) arrived during the command; every transfer was finished first, the "
                     "adapters reset; stopping\n",
                     deferred_signal_name(signal).c_str(), signal);
    return status;
}
