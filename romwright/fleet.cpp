// Several adapters in one run.
#include "romwright/fleet.h"

#include <algorithm>
#include <thread>

#include <nlohmann/json.hpp>

#include "adapter/adapter.h"
#include "common/error.h"
#include "eeprom/commands.h"
#include "eeprom/vpd_report.h"
#include "romwright/render.h"

namespace {

using json = nlohmann::ordered_json;

// One adapter of the run: what -b named, the function found, or why none.
struct target {
    std::string label;  // the address shown before its lines
    pci_function fn{};
    bool found = false;
    std::string error;  // when not found
    command_result result;
    int status = 0;
    std::string failure_text;
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
std::vector<target> targets_of(platform& p, const request& rq) {
    const std::vector<pci_function> all = p.scan();
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

void run_one(platform& p, const request& rq, image_file* image, target& t) {
    std::unique_ptr<observer> obs = make_prefixed_observer(t.label, rq.json);
    request own = rq;
    if (rq.command == command_code::read && t.found)
        own.file = file_for_adapter(rq.file, t.fn);
    try {
        if (!t.found)
            throw failure(error_kind::failed, t.error);
        if (rq.command == command_code::read)
            check_read_file(own.file, p);  // each adapter's file, as a single read's
        std::unique_ptr<adapter_session> s = open_function(p, t.fn, *obs);
        run_command(*s, own, image, t.result);
        t.status = t.result.status;
    } catch (const failure& e) {
        t.status = EXIT_STATUS_FAILED;
        t.failure_text = e.what();
        if (!rq.json && !e.shown())
            obs->text(e.what());
    } catch (const std::exception& e) {
        t.status = EXIT_STATUS_FAILED;
        t.failure_text = strprintf("ERROR: %s\n", e.what());
        if (!rq.json)
            obs->text(t.failure_text);
    }
    t.result.status = t.status;
    if (t.result.adapter.empty())
        t.result.adapter = t.label;
    if (!rq.json && t.failure_text.empty())
        obs->text(render_result_text(own, t.result));
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

int run_several(platform& p, const request& rq) {
    std::unique_ptr<observer> quiet = rq.json ? make_json_observer() : make_text_observer();
    // One reading of the image for every adapter, before any is touched.
    std::unique_ptr<image_file> image = prepare_command(rq, p, *quiet);
    std::vector<target> targets = targets_of(p, rq);
    std::vector<std::thread> threads;
    for (target& t : targets)
        threads.emplace_back([&p, &rq, &image, &t] { run_one(p, rq, image.get(), t); });
    for (std::thread& th : threads)
        th.join();

    int status = EXIT_STATUS_OK;
    for (const target& t : targets)
        if (t.status != EXIT_STATUS_OK)
            status = EXIT_STATUS_FAILED;
    if (targets.empty()) {
        status = EXIT_STATUS_FAILED;
        if (!rq.json)
            std::printf("No PCI function with vendor ID %04x found\n", ADAPTER_VENDOR_ID);
    }
    if (rq.json) {
        json adapters = json::array();
        for (const target& t : targets) {
            request own = rq;
            if (rq.command == command_code::read && t.found)
                own.file = file_for_adapter(rq.file, t.fn);
            json doc = json::parse(render_result_json(own, t.result, t.failure_text, ""));
            if (!doc.contains("adapter")) {
                json with = {{"adapter", t.label}};
                with.update(doc);
                doc = with;
            }
            adapters.push_back(doc);
        }
        const json doc = {{"adapters", adapters}, {"status", status}};
        std::fputs((doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n").c_str(), stdout);
    }
    return status;
}
