#include "romwright/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/error.h"
#include "common/replace_file.h"
#include "romwright/command_rows.h"
#include "romwright/history.h"
#include "romwright/messages.h"

namespace {

void family(std::string& out, const char* name, const char* help) {
    out += strprintf("# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

std::string address_label(const adapter_metrics& a) {
    return "address=\"" + prometheus_label_value(a.address) + "\"";
}

// The labels of the VPD read's series: the address, and where the copies
// came from when a source was chosen.
std::string read_labels(const adapter_metrics& a) {
    return address_label(a) + (a.via ? std::string(",via=\"") + a.via + "\"" : "");
}

// The identifier string of the first good copy; empty: none.
std::string id_string_of(const vpd_report& r) {
    for (const vpd_report::copy& c : r.copies)
        if (c.info.good())
            return id_string_text(c).value_or("");
    return "";
}

// The field as most good copies hold it, as identity_value() gives it;
// empty: none.
std::string field_value(const vpd_report& r, int index) {
    return r.fields[index].has_value ? identity_value(r.fields[index].bytes) : "";
}

// The MAC address most good copies hold, colon-separated; empty: none, or
// not 12 hexadecimal digits.
std::string mac_colons_value(const vpd_report& r) {
    return r.fields[2].has_value ? mac_with_colons(r.fields[2].bytes).value_or("") : "";
}

}  // namespace

std::string prometheus_label_value(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char b = static_cast<unsigned char>(ch);
        if (b == '\\')
            out += "\\\\";
        else if (b == '"')
            out += "\\\"";
        else if (b == '\n')
            out += "\\n";
        else if (b >= 0x20 && b < 0x7F)
            out += ch;
        else
            out += strprintf("\\\\x%02x", b);
    }
    return out;
}

std::optional<last_change> last_change_of(const std::vector<json_value>& records, const std::string& address) {
    adapter_address a;
    if (!parse_adapter_address(address.c_str(), &a))
        return std::nullopt;
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
        if (!history_matches(*r, {a}))
            continue;
        last_change c;
        for (const char* key : {"ended", "started"}) {
            const json_value& t = r->value(key, json_value());
            if (!c.time && t.is_string())
                c.time = utc_seconds(t.get<std::string>());
        }
        // An exit status is 0 to 255: anything else recorded is none.
        const json_value& status = r->value("status", json_value());
        if (status.is_number_integer() && status.get<int64_t>() >= 0 && status.get<int64_t>() <= 255)
            c.status = static_cast<int>(status.get<int64_t>());
        return c;
    }
    return std::nullopt;
}

std::string render_metrics(const std::vector<adapter_metrics>& adapters, const identity_check& ids, bool history) {
    std::string out;
    family(out, "romwright_build_info", "The romwright that wrote these metrics.");
    out += "romwright_build_info{version=\"" + prometheus_label_value(ROMWRIGHT_VERSION) + "\"} 1\n";
    family(out, "romwright_adapter_info",
           "The adapter's identity as most good VPD copies hold it, padding dropped (empty: none holds it).");
    for (const adapter_metrics& a : adapters) {
        if (!a.report)
            continue;
        const vpd_report& r = *a.report;
        out += "romwright_adapter_info{" + address_label(a) + ",part_number=\"" +
               prometheus_label_value(field_value(r, 0)) + "\",serial_number=\"" +
               prometheus_label_value(field_value(r, 1)) + "\",mac_address=\"" +
               prometheus_label_value(field_value(r, 2)) + "\",mac_address_colons=\"" +
               prometheus_label_value(mac_colons_value(r)) + "\",id_string=\"" +
               prometheus_label_value(id_string_of(r)) + "\"} 1\n";
    }
    family(out, "romwright_eeprom_image_info",
           "The digest of the image the adapter's EEPROM holds (as romwright-vpd digest --held gives it of the "
           "image written).");
    for (const adapter_metrics& a : adapters)
        if (!a.image_digest.empty())
            out += "romwright_eeprom_image_info{" + address_label(a) + ",digest=\"" +
                   prometheus_label_value(a.image_digest) + "\"} 1\n";
    family(out, "romwright_vpd_read_success", "Whether the adapter's VPD copies were read (1) or not (0).");
    for (const adapter_metrics& a : adapters)
        out += strprintf("romwright_vpd_read_success{%s} %d\n", read_labels(a).c_str(), a.report ? 1 : 0);
    family(out, "romwright_vpd_copies", "VPD copies of the adapter's EEPROM read: 14 through the registers, copy 0 alone through the kernel's "
           "VPD file (label via).");
    for (const adapter_metrics& a : adapters)
        if (a.report)
            out += strprintf("romwright_vpd_copies{%s} %zu\n", read_labels(a).c_str(), a.report->copies.size());
    family(out, "romwright_vpd_copies_good", "VPD copies of the adapter that are good.");
    for (const adapter_metrics& a : adapters)
        if (a.report)
            out += strprintf("romwright_vpd_copies_good{%s} %d\n", read_labels(a).c_str(), a.report->good);
    family(out, "romwright_change_interrupted",
           "Whether a change of the adapter's EEPROM was interrupted and stands unfinished (1) or not (0).");
    for (const adapter_metrics& a : adapters)
        if (a.report)
            out += strprintf("romwright_change_interrupted{%s} %d\n", address_label(a).c_str(), a.interrupted ? 1 : 0);
    if (history) {
        family(out, "romwright_last_change_timestamp_seconds",
               "When the adapter's last recorded change ended (an interrupted one: started), in seconds since the "
               "epoch.");
        for (const adapter_metrics& a : adapters)
            if (a.last && a.last->time)
                out += strprintf("romwright_last_change_timestamp_seconds{%s} %lld\n", address_label(a).c_str(),
                                 static_cast<long long>(*a.last->time));
        family(out, "romwright_last_change_status",
               "The exit status of the adapter's last recorded change (0: done; none for an interrupted one).");
        for (const adapter_metrics& a : adapters)
            if (a.last && a.last->status)
                out += strprintf("romwright_last_change_status{%s} %d\n", address_label(a).c_str(), *a.last->status);
    }
    family(out, "romwright_duplicated_identities",
           "MAC addresses or serial numbers that more than one board of this host holds.");
    for (const char* field : {"mac", "serial"})
        out += strprintf("romwright_duplicated_identities{field=\"%s\"} %d\n", field, ids.duplicated(field));
    return out;
}

identity_verdict finish_identity_run(const request& rq, const site& where,
                                     const std::vector<std::pair<std::string, const run_outcome*>>& adapters,
                                     bool compare) {
    identity_verdict v;
    std::vector<board_read> boards;
    std::vector<adapter_metrics> metrics;
    for (const auto& [label, o] : adapters) {
        const vpd_report* r = rq.command->reports ? rq.command->reports(o->output) : nullptr;
        if (r)
            boards.push_back({label, r});
        metrics.push_back({label, r, o->interrupted.has_value()});
        if (o->vpd_path)
            metrics.back().via = o->vpd_path->via == vpd_source::kernel ? "kernel" : "registers";
        metrics.back().image_digest = o->image_digest;
    }
    if (compare) {
        v.check = compare_identities(boards);
        note_identity_check(v.check, stderr);
        if (!v.check.duplicates.empty())
            v.kind = error_kind::failed;
    }
    if (rq.prometheus_file.empty())
        return v;
    // The last changes, when there is a history; its lines that are no
    // record are the history command's to name.  One that cannot be read
    // leaves them out, with a warning.
    const std::string& history_file = where.history_file;
    const history_read h = history_file.empty() ? history_read() : read_history(history_file);
    if (!h.error.empty())
        std::fprintf(stderr, "romwright: warning: %s; the metrics leave out the last changes\n", h.error.c_str());
    const bool history = h.exists && h.error.empty();
    if (history)
        for (adapter_metrics& m : metrics)
            m.last = last_change_of(h.records, m.address);
    const std::string text = render_metrics(metrics, v.check, history);
    if (rq.metrics_to_stdout()) {
        v.metrics_text = text;
        return v;
    }
    try {
        // Not ending in .prom while written: the collector never reads a
        // half-written file.
        replace_file(rq.prometheus_file, "the metrics file", text.data(), text.size(), 0644, kept_paths(where, rq));
    } catch (const failure& e) {
        const std::string text = message_of(e);
        // A refusal is worded whole; a failed write (its facts name the step) takes the program's name.
        std::fprintf(stderr, "%s%s", e.facts().empty() ? "" : "romwright: ", text.c_str());
        v.kind = e.kind();
        v.metrics_failed = true;
    }
    return v;
}
